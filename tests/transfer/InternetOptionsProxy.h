#pragma once

// Windows only: sets the current user's Internet Options proxy, the
// connection settings WinInet keeps in the registry and WinHTTP reads, for
// as long as the object lives, and puts the previous value back after.

#include <string>
#include <vector>

class InternetOptionsProxy {
  public:
    // proxyList as the Internet Options hold it ("host:port" or
    // "http=host:port;https=host:port"); bypassList likewise
    // ("<local>;*.example.com"); scriptUrl: an automatic configuration
    // script's address, or empty for none.
    InternetOptionsProxy(const std::string& proxyList, const std::string& bypassList,
                         const std::string& scriptUrl = {});
    ~InternetOptionsProxy();
    InternetOptionsProxy(const InternetOptionsProxy&) = delete;
    InternetOptionsProxy& operator=(const InternetOptionsProxy&) = delete;

    bool Ok() const { return ok_; }

  private:
    bool ok_ = false;
    bool hadValue_ = false;
    std::vector<unsigned char> previous_;
};
