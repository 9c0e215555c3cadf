#include "SystemProxySetting.h"

#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

namespace {
// The variables libcurl reads; no_proxy would exempt loopback names.
const char* const Names[] = {"http_proxy", "https_proxy", "no_proxy", "NO_PROXY"};
} // namespace

struct SystemProxySetting::Saved {
    std::vector<std::pair<const char*, std::optional<std::string>>> values;
    bool ok = true;
};

SystemProxySetting::SystemProxySetting(const std::string& hostPort)
    : saved_(std::make_unique<Saved>()) {
    for (const char* name : Names) {
        const char* value = std::getenv(name);
        saved_->values.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    const std::string url = "http://" + hostPort;
    saved_->ok = setenv("http_proxy", url.c_str(), 1) == 0 &&
                 setenv("https_proxy", url.c_str(), 1) == 0 && unsetenv("no_proxy") == 0 &&
                 unsetenv("NO_PROXY") == 0;
}

SystemProxySetting::~SystemProxySetting() {
    for (const auto& [name, value] : saved_->values) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
}

bool SystemProxySetting::Ok() const {
    return saved_->ok;
}
