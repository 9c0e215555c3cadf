#pragma once

// Points this user's system proxy setting at a proxy for as long as the
// object lives and puts the previous setting back after. Windows: the
// Internet Options (the connection settings WinInet keeps in the registry).
// Linux: the proxy environment variables libcurl reads.

#include <memory>
#include <string>

class SystemProxySetting {
  public:
    // hostPort: "127.0.0.1:3128", for every scheme.
    explicit SystemProxySetting(const std::string& hostPort);
    ~SystemProxySetting();
    SystemProxySetting(const SystemProxySetting&) = delete;
    SystemProxySetting& operator=(const SystemProxySetting&) = delete;

    // False when the setting could not be made (the test then fails).
    bool Ok() const;

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};
