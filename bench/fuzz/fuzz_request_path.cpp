// Request paths: decoding and the rules that keep a request in the web root.

#include "FuzzCheck.h"
#include "engine/RequestPath.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view path(reinterpret_cast<const char*>(data), size);
    const auto components = engine::SplitRequestPath(path);
    if (components) {
        FUZZ_CHECK(path.front() == '/');
        std::string joined;
        const std::size_t count = components->size();
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& name = (*components)[i];
            // A published copy directly in d/dfiles/ keeps the user's name:
            // any but "/", NUL, "." and "..".
            const bool published =
                count == 3 && i == 2 && (*components)[0] == "d" && (*components)[1] == "dfiles";
            if (published) {
                FUZZ_CHECK(engine::IsPublishedFileName(name));
                FUZZ_CHECK(name.find('\0') == std::string::npos &&
                           name.find('/') == std::string::npos);
                FUZZ_CHECK(name != "." && name != "..");
            } else {
                FUZZ_CHECK(!name.empty() && name.front() != '.');
                for (const char c : name) {
                    const auto byte = static_cast<unsigned char>(c);
                    FUZZ_CHECK(c != '/' && c != '\\' && byte >= 0x20 && byte != 0x7F);
                }
            }
            joined += (joined.empty() ? "" : "/") + name;
        }
        // What the server builds from the components is servable as it stands.
        FUZZ_CHECK(components->empty() || engine::IsServableRelativePath(joined));
    }
    if (engine::IsServableRelativePath(path) && path.rfind("d/dfiles/", 0) != 0) {
        FUZZ_CHECK(!path.empty() && path.front() != '.' && path.find("/.") == std::string::npos &&
                   path.find("//") == std::string::npos && path.back() != '/');
    }
    FUZZ_CHECK(!engine::ContentTypeFor(path).empty());
    engine::IsHtmlName(path);
    return 0;
}
