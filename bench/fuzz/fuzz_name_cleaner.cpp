// File names from the phone: the cleaner and the numbered free names.

#include "FuzzCheck.h"
#include "engine/FileNameCleaner.h"

#include <climits>
#include <cstdint>
#include <set>
#include <string>

namespace {

bool HasControl(std::string_view name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const bool c1 = byte == 0xC2 && i + 1 < name.size() &&
                        static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(name[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1) {
            return true;
        }
    }
    return false;
}

void CheckSafe(const std::string& name) {
    FUZZ_CHECK(!name.empty() && name.size() <= engine::MaxNameBytes);
    FUZZ_CHECK(name != "." && name != "..");
    FUZZ_CHECK(name.find('/') == std::string::npos && name.find('\\') == std::string::npos);
    FUZZ_CHECK(IsWholeUtf8(name));
    FUZZ_CHECK(!HasControl(name));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const auto name = engine::CleanUploadName(raw);
    if (!name) {
        return 0;
    }
    CheckSafe(*name);
    FUZZ_CHECK(name->front() != ' ' && name->back() != ' ');
    // A clean name stays as it is.
    FUZZ_CHECK(engine::CleanUploadName(*name) == name);
    FUZZ_CHECK(engine::NumberedName(*name, 0) == *name);
    // Each number gives a name of its own. (A cut name may itself end in
    // "(1)" before its extension, so the first numbered form may be the
    // name again; the free-name search then simply goes on to the next.)
    std::set<std::string> names;
    for (const unsigned n : {1u, 2u, 9u, 10u, 9999u, UINT_MAX}) {
        const std::string numbered = engine::NumberedName(*name, n);
        CheckSafe(numbered);
        FUZZ_CHECK(numbered.find("(" + std::to_string(n) + ")") != std::string::npos);
        FUZZ_CHECK(names.insert(numbered).second);
    }
    return 0;
}
