#include "TestSupport.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <optional>

namespace {

using testing_support::ScratchFolder;
using testing_support::WriteText;

// Sets (or with nullopt removes) an environment variable for one scope.
class EnvOverride {
  public:
    EnvOverride(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~EnvOverride() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class KnownFolders : public ::testing::Test {
  protected:
    ScratchFolder home;
    std::string homePath = home.Path().substr(0, home.Path().size() - 1);
    EnvOverride homeVar{"HOME", homePath};
    EnvOverride configVar{"XDG_CONFIG_HOME", std::nullopt};
    EnvOverride dataVar{"XDG_DATA_HOME", std::nullopt};

    void WriteUserDirs(const std::string& content) {
        std::filesystem::create_directories(home / ".config");
        WriteText(home / ".config/user-dirs.dirs", content);
    }
};

TEST_F(KnownFolders, DocumentsDefaultsToHomeDocuments) {
    EXPECT_EQ(platform::DocumentsFolder(), homePath + "/Documents/");
}

TEST_F(KnownFolders, DocumentsFromUserDirsExpandsHome) {
    WriteUserDirs("# written by xdg-user-dirs-update\n"
                  "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                  "XDG_DOCUMENTS_DIR=\"$HOME/Eigene Dateien\"\n");
    EXPECT_EQ(platform::DocumentsFolder(), homePath + "/Eigene Dateien/");
}

TEST_F(KnownFolders, DocumentsFromUserDirsAbsoluteEscapedAndLastWins) {
    WriteUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/first\"\n"
                  "  XDG_DOCUMENTS_DIR = \"/srv/docs \\\"q\\\"/\"\n");
    EXPECT_EQ(platform::DocumentsFolder(), "/srv/docs \"q\"/");
}

TEST_F(KnownFolders, DocumentsIgnoresRelativeAndOtherKeys) {
    WriteUserDirs("XDG_DOCUMENTS_DIR_OLD=\"/nope\"\n"
                  "XDG_DOCUMENTS_DIR=\"relative/docs\"\n"
                  "XDG_MUSIC_DIR=\"/music\"\n");
    EXPECT_EQ(platform::DocumentsFolder(), homePath + "/Documents/");
}

TEST_F(KnownFolders, UserDirsFoundThroughXdgConfigHome) {
    ScratchFolder config;
    EnvOverride var("XDG_CONFIG_HOME", config.Path());
    WriteText(config / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME\"\n");
    EXPECT_EQ(platform::DocumentsFolder(), homePath + "/");
    EXPECT_EQ(platform::ConfigFolder(), config.Path());
}

TEST_F(KnownFolders, DataAndConfigFollowXdgVariablesAndIgnoreRelativeOnes) {
    EXPECT_EQ(platform::AppDataFolder(), homePath + "/.local/share/");
    EXPECT_EQ(platform::ConfigFolder(), homePath + "/.config/");
    {
        EnvOverride var("XDG_DATA_HOME", "/data/here");
        EXPECT_EQ(platform::AppDataFolder(), "/data/here/");
    }
    EnvOverride var("XDG_DATA_HOME", "not/absolute");
    EXPECT_EQ(platform::AppDataFolder(), homePath + "/.local/share/");
}

TEST(TempFolder, FollowsTmpdirWithDelimiter) {
    {
        EnvOverride var("TMPDIR", "/var/tmp");
        EXPECT_EQ(platform::TempFolder(), "/var/tmp/");
    }
    {
        EnvOverride var("TMPDIR", std::nullopt);
        EXPECT_EQ(platform::TempFolder(), "/tmp/");
    }
    EnvOverride var("TMPDIR", "");
    EXPECT_EQ(platform::TempFolder(), "/tmp/");
}

TEST(ExecutablePath, NamesThisTestProgram) {
    std::string path = platform::ExecutablePath();
    EXPECT_EQ(std::filesystem::path(path).filename(), "platform_tests");
    EXPECT_TRUE(std::filesystem::path(path).is_absolute());
    EXPECT_TRUE(platform::FileExists(path));
}

TEST(PerformanceCounter, AdvancesInNanoseconds) {
    std::int64_t before = platform::PerformanceCounter();
    ::usleep(2000);
    std::int64_t elapsed = platform::PerformanceCounter() - before;
    EXPECT_GE(elapsed, 2'000'000);
    EXPECT_LT(elapsed, 2'000'000'000);
}

} // namespace
