#include "app/core/Workspace.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace workspace;

namespace {

// A fresh folder under the system's temporary folder, removed afterwards.
class TempFolder {
  public:
    TempFolder() {
        path_ = fs::temp_directory_path() /
                ("workspace-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string Path() const { return path_.string() + "/"; }

  private:
    static inline int counter_ = 0;
    fs::path path_;
};

} // namespace

TEST(WorkspaceFolders, LayoutBelowAppDataAndProgramFolder) {
    const WorkspaceFolders f = SetupWorkspaceFolders("/home/ann/.local/share/", "/opt/tessary/");
    EXPECT_EQ(f.WorkDir, "/home/ann/.local/share/Tessary/");
    EXPECT_EQ(f.ExeDir, "/opt/tessary/");
    EXPECT_EQ(f.TemplateDir, "/opt/tessary/pdata/");
    EXPECT_EQ(f.WebRoot, "/home/ann/.local/share/Tessary/wdoc/");
    EXPECT_EQ(f.UploadPageDir, "/home/ann/.local/share/Tessary/wdoc/u/");
    EXPECT_EQ(f.UploadDir, "/home/ann/.local/share/Tessary/wdoc/u/ufiles/");
    EXPECT_EQ(f.DownloadPageDir, "/home/ann/.local/share/Tessary/wdoc/d/");
    EXPECT_EQ(f.DownloadDir, "/home/ann/.local/share/Tessary/wdoc/d/dfiles/");
}

TEST(WorkspaceFolders, MissingDelimitersAreAdded) {
    const WorkspaceFolders f = SetupWorkspaceFolders("/data", "/opt/tessary");
    EXPECT_EQ(f.WorkDir, "/data/Tessary/");
    EXPECT_EQ(f.TemplateDir, "/opt/tessary/pdata/");
    EXPECT_EQ(ExeDirOf("/opt/tessary/bin/Tessary"), "/opt/tessary/bin/");
}

TEST(WorkspaceFolders, CreatesEveryFolderTheRunWritesButNotTheTemplates) {
    TempFolder root;
    const WorkspaceFolders f = SetupWorkspaceFolders(root.Path() + "data/", root.Path() + "exe/");
    CreateWorkspaceFolders(f);
    for (const std::string& path :
         {f.WorkDir, f.WebRoot, f.UploadPageDir, f.UploadDir, f.DownloadPageDir, f.DownloadDir})
        EXPECT_TRUE(fs::is_directory(path)) << path;
    EXPECT_FALSE(fs::exists(f.TemplateDir));
    EXPECT_FALSE(fs::exists(f.ExeDir));

    // A second start finds them in place and keeps what lies there.
    std::ofstream(f.UploadDir + "kept.bin") << "x";
    CreateWorkspaceFolders(f);
    EXPECT_TRUE(fs::exists(f.UploadDir + "kept.bin"));
}

TEST(WorkspaceFolders, FailureToCreateIsSwallowed) {
    TempFolder root;
    std::ofstream(root.Path() + "file") << "in the way";
    const WorkspaceFolders f = SetupWorkspaceFolders(root.Path() + "file/", root.Path());
    EXPECT_NO_THROW(CreateWorkspaceFolders(f));
    EXPECT_FALSE(fs::exists(f.WebRoot));
}

TEST(PageKey, SixLowerCaseLettersDrawnAnew) {
    std::set<std::string> keys;
    for (int i = 0; i < 50; ++i) {
        const std::string key = MakePageKey();
        ASSERT_EQ(key.size(), 6u);
        for (char c : key)
            EXPECT_TRUE(c >= 'a' && c <= 'z') << key;
        keys.insert(key);
    }
    EXPECT_GT(keys.size(), 40u);
}

TEST(ReceiveDir, DatedDefaultBelowDocuments) {
    EXPECT_EQ(DefaultReceiveDir("/home/ann/Documents/", QDate(2026, 1, 5)),
              "/home/ann/Documents/Tessary/20260105/");
    EXPECT_EQ(DefaultReceiveDir("/home/ann/Dokumente", QDate(1999, 12, 31)),
              "/home/ann/Dokumente/Tessary/19991231/");
}

TEST(ReceiveDir, TextIsTrimmedAndEndsInADelimiter) {
    EXPECT_EQ(ReceiveDirFromText("  /home/ann/in box \t\r\n"), "/home/ann/in box/");
    EXPECT_EQ(ReceiveDirFromText("/home/ann/in/"), "/home/ann/in/");
    EXPECT_EQ(ReceiveDirFromText("/"), "/");
}

TEST(EngineCommands, EngineRunsFromWorkDirWithPageKeyAndWebRoot) {
    EXPECT_EQ(EngineProgram("/w/Tessary/"), "/w/Tessary/TessaryEngine");
    EXPECT_EQ(EngineParameters("qwerty"), "qwerty \"./wdoc\"");
    EXPECT_EQ(KillToolProgram("/opt/tessary/"), "/opt/tessary/pdata/pskl");
    EXPECT_EQ(KillToolParameters(), "TessaryEngine c");
}
