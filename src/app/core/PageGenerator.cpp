#include "app/core/PageGenerator.h"

#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

namespace pages {

namespace {

constexpr const char* PcNameMark = "##PCNAME##";

// A plain copy whose failure leaves the earlier page, or none, in place.
void CopyQuietly(const std::string& source, const std::string& target) {
    try {
        misc::CopyTemplate(source, target, {}, {});
    } catch (const misc::FileError&) {
    }
}

} // namespace

void GeneratePages(const std::string& templateDir, const PageFolders& folders,
                   const std::string& pageKey) {
    const std::string upload = templateDir + "uindex.dat";
    const std::string download = templateDir + "dindex.dat";
    const std::string fileList = templateDir + "dfilelist.dat";
    const std::string neutral = templateDir + "mindex.dat";

    misc::CopyTemplate(upload, folders.uploadPageDir + pageKey + ".html", PcNameMark, {});
    misc::CopyTemplate(download, folders.downloadPageDir + pageKey + ".html", PcNameMark, {});
    CopyQuietly(fileList, folders.downloadPageDir + "filelist-" + pageKey + ".html");
    CopyQuietly(neutral, folders.uploadPageDir + "index.html");
    CopyQuietly(neutral, folders.downloadPageDir + "index.html");
    CopyQuietly(neutral, folders.uploadDir + "index.html");
    CopyQuietly(neutral, folders.downloadDir + "index.html");
    // Keeps the page out of the PC's view of the published files. From the
    // second run on the copy above is refused (a hidden target) and the
    // earlier page stays, which is as good.
    platform::SetAttributes(folders.downloadDir + "index.html", platform::AttrHidden);
    CopyQuietly(neutral, folders.webRoot + "index.html");
}

} // namespace pages
