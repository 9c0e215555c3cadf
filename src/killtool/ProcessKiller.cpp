#include "killtool/ProcessKiller.h"

#include "platform/platform.h"

namespace killtool {

std::string ResolveProgram(const std::string& name) {
    std::string path = name;
    if (name.find_first_of("/\\") == std::string::npos) {
        path = platform::AppDataFolder();
        if (!path.empty() && path.back() != platform::PathDelimiter) {
            path += platform::PathDelimiter;
        }
        path += "Tessary" + std::string(1, platform::PathDelimiter) + name +
                std::string(platform::ExecutableSuffix);
    }
    if (!platform::FileExists(path)) {
        return {};
    }
    return platform::CanonicalPath(path).value_or(std::string{});
}

} // namespace killtool
