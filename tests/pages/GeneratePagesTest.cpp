#include "TempFolder.h"
#include "app/core/PageGenerator.h"
#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string Key = "qwerty";

class GeneratePagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        templates = tmp.Path() + "pdata/";
        folders.webRoot = tmp.Path() + "wdoc/";
        folders.uploadPageDir = folders.webRoot + "u/";
        folders.uploadDir = folders.uploadPageDir + "ufiles/";
        folders.downloadPageDir = folders.webRoot + "d/";
        folders.downloadDir = folders.downloadPageDir + "dfiles/";
        for (const auto& dir : {templates, folders.uploadDir, folders.downloadDir})
            fs::create_directories(dir);
    }

    void WriteTemplates() {
        WriteBytes(templates + "uindex.dat", "<p>upload##PCNAME##</p>\r\n");
        WriteBytes(templates + "dindex.dat", "<p>download##PCNAME##</p>\r\n");
        WriteBytes(templates + "dfilelist.dat", "<p>none yet</p>\n");
        WriteBytes(templates + "mindex.dat", "<p>neutral</p>\n");
    }

    std::string UploadPage() const { return folders.uploadPageDir + Key + ".html"; }
    std::string DownloadPage() const { return folders.downloadPageDir + Key + ".html"; }
    std::string FileList() const { return folders.downloadPageDir + "filelist-" + Key + ".html"; }
    std::vector<std::string> NeutralPages() const {
        return {folders.uploadPageDir + "index.html", folders.downloadPageDir + "index.html",
                folders.uploadDir + "index.html", folders.downloadDir + "index.html",
                folders.webRoot + "index.html"};
    }

    void Generate() const { pages::GeneratePages(templates, folders, Key); }

    // Extended attributes are where the hidden bit lives; some file systems
    // have none.
    bool HiddenBitSupported() const {
        const std::string probe = tmp.Path() + "probe";
        WriteBytes(probe, "x");
        return platform::SetAttributes(probe, platform::AttrHidden);
    }

    TempFolder tmp;
    std::string templates;
    pages::PageFolders folders;
};

TEST_F(GeneratePagesTest, WritesEveryPage) {
    WriteTemplates();
    Generate();

    EXPECT_EQ(ReadBytes(UploadPage()), "<p>upload</p>\r\n");
    EXPECT_EQ(ReadBytes(DownloadPage()), "<p>download</p>\r\n");
    // Plain copies are byte for byte, line ends untouched.
    EXPECT_EQ(ReadBytes(FileList()), "<p>none yet</p>\n");
    for (const auto& page : NeutralPages())
        EXPECT_EQ(ReadBytes(page), "<p>neutral</p>\n") << page;
}

TEST_F(GeneratePagesTest, RemovesEveryMarkAndKeepsOtherLetterCase) {
    WriteTemplates();
    WriteBytes(templates + "uindex.dat",
               "<title>##PCNAME##</title>\r\n##PCNAME####PCNAME##a##PCNAME##b\r\n##pcname## "
               "##PcName##\r\n");
    WriteBytes(templates + "dindex.dat", "x##PCNAME##y##PCNAME##z\r\n");
    Generate();

    EXPECT_EQ(ReadBytes(UploadPage()), "<title></title>\r\nab\r\n##pcname## ##PcName##\r\n");
    EXPECT_EQ(ReadBytes(DownloadPage()), "xyz\r\n");
}

TEST_F(GeneratePagesTest, LinesEndingInLfAloneEndInCrLf) {
    WriteTemplates();
    WriteBytes(templates + "uindex.dat", "one\ntwo\r\nthree\rlast");
    WriteBytes(templates + "dindex.dat", "a\n\nb\n");
    Generate();

    EXPECT_EQ(ReadBytes(UploadPage()), "one\r\ntwo\r\nthree\r\nlast\r\n");
    EXPECT_EQ(ReadBytes(DownloadPage()), "a\r\n\r\nb\r\n");
}

TEST_F(GeneratePagesTest, OverwritesPagesOfAnEarlierRun) {
    WriteTemplates();
    for (const auto& page : NeutralPages())
        WriteBytes(page, "old");
    WriteBytes(UploadPage(), "old");
    WriteBytes(FileList(), "old list");
    Generate();

    EXPECT_EQ(ReadBytes(UploadPage()), "<p>upload</p>\r\n");
    EXPECT_EQ(ReadBytes(FileList()), "<p>none yet</p>\n");
    EXPECT_EQ(ReadBytes(folders.webRoot + "index.html"), "<p>neutral</p>\n");
}

TEST_F(GeneratePagesTest, HidesTheDownloadFolderPageAndKeepsItOnTheNextRun) {
    if (!HiddenBitSupported())
        GTEST_SKIP() << "this file system keeps no extended attributes";
    WriteTemplates();
    Generate();
    const std::string hiddenPage = folders.downloadDir + "index.html";
    auto attributes = platform::GetAttributes(hiddenPage);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(*attributes & (platform::AttrHidden | platform::AttrArchive), platform::AttrHidden);

    // The next run: the hidden page is refused as a copy target, silently.
    WriteBytes(templates + "mindex.dat", "<p>second run</p>\n");
    EXPECT_NO_THROW(Generate());
    EXPECT_EQ(ReadBytes(hiddenPage), "<p>neutral</p>\n");
    attributes = platform::GetAttributes(hiddenPage);
    ASSERT_TRUE(attributes);
    EXPECT_TRUE(*attributes & platform::AttrHidden);
    EXPECT_EQ(ReadBytes(folders.webRoot + "index.html"), "<p>second run</p>\n");
}

TEST_F(GeneratePagesTest, MissingTemplatesWriteNothingAndSayNothing) {
    EXPECT_NO_THROW(Generate());
    EXPECT_FALSE(fs::exists(UploadPage()));
    EXPECT_FALSE(fs::exists(DownloadPage()));
    EXPECT_FALSE(fs::exists(FileList()));
    for (const auto& page : NeutralPages())
        EXPECT_FALSE(fs::exists(page)) << page;
}

TEST_F(GeneratePagesTest, MissingUploadTemplateLeavesTheOtherPages) {
    WriteTemplates();
    fs::remove(templates + "uindex.dat");
    EXPECT_NO_THROW(Generate());
    EXPECT_FALSE(fs::exists(UploadPage()));
    EXPECT_EQ(ReadBytes(DownloadPage()), "<p>download</p>\r\n");
    EXPECT_EQ(ReadBytes(folders.webRoot + "index.html"), "<p>neutral</p>\n");
}

TEST_F(GeneratePagesTest, UnreadableTemplateRaisesAndStops) {
    WriteTemplates();
    // A file that exists but whose reading fails, even for root: the process's
    // own memory at address 0.
    fs::remove(templates + "uindex.dat");
    fs::create_symlink("/proc/self/mem", templates + "uindex.dat");
    EXPECT_THROW(Generate(), misc::FileError);
    EXPECT_FALSE(fs::exists(DownloadPage()));
    EXPECT_FALSE(fs::exists(folders.webRoot + "index.html"));
}

TEST_F(GeneratePagesTest, UnwritablePageRaises) {
    WriteTemplates();
    fs::remove_all(folders.downloadPageDir);
    EXPECT_THROW(Generate(), misc::FileError);
    // Step 1 came before the failure, step 9 never ran.
    EXPECT_EQ(ReadBytes(UploadPage()), "<p>upload</p>\r\n");
    EXPECT_FALSE(fs::exists(folders.webRoot + "index.html"));
}

TEST_F(GeneratePagesTest, FailedPlainCopiesNeverRaise) {
    WriteTemplates();
    fs::remove_all(folders.uploadDir);
    fs::remove_all(folders.downloadDir);
    EXPECT_NO_THROW(Generate());
    EXPECT_EQ(ReadBytes(folders.webRoot + "index.html"), "<p>neutral</p>\n");
}

} // namespace
