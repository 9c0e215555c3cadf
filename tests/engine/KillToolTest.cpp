// pskl against real processes: the engine, and programs it must spare.

#include "EngineHarness.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace enginetest;

using namespace std::chrono_literals;

namespace {

// A child process, reaped and killed (if still there) when this goes.
class Child {
  public:
    // Runs program with one argument, optionally as another user.
    Child(const std::string& program, const std::string& argument, int asUser = -1) {
        pid_ = fork();
        if (pid_ == 0) {
            if (asUser >= 0 && (setgid(static_cast<gid_t>(asUser)) != 0 ||
                                setuid(static_cast<uid_t>(asUser)) != 0)) {
                _exit(126);
            }
            execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        reaper_ = std::thread([this] {
            waitpid(pid_, nullptr, 0);
            exited_ = true;
        });
    }
    ~Child() {
        if (!exited_) {
            kill(pid_, SIGKILL);
        }
        reaper_.join();
    }
    bool Running() const { return !exited_; }
    // True once the child runs program (not merely a forked copy of this test).
    bool Runs(const fs::path& program) const {
        std::error_code error;
        return Running() && fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe", error) ==
                                fs::canonical(program, error);
    }

  private:
    pid_t pid_ = -1;
    std::thread reaper_;
    std::atomic<bool> exited_ = false;
};

struct ToolResult {
    int status = -1;
    std::string errors;
};

ToolResult RunKillTool(const fs::path& dataHome, const std::string& arguments) {
    const fs::path errors = dataHome / "pskl-errors.txt";
    const std::string command = "XDG_DATA_HOME='" + dataHome.string() + "' " + KillToolProgram() +
                                " " + arguments + " 2>'" + errors.string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(errors)};
}

} // namespace

TEST(KillTool, EndsTheUsersEngineAndNothingElse) {
    TempFolder data;
    const fs::path workDir = data.Path() / "Tessary";
    fs::create_directories(workDir);
    const fs::path engineFile = workDir / "TessaryEngine";
    fs::copy_file(EngineProgram(), engineFile);

    StartOptions options;
    options.program = engineFile.string();
    Engine engine(options);

    // Another program that happens to have the same name.
    const fs::path otherDir = data.Path() / "elsewhere";
    fs::create_directories(otherDir);
    fs::copy_file("/bin/sleep", otherDir / "TessaryEngine");
    Child sameName((otherDir / "TessaryEngine").string(), "60");
    // Only once it runs that file can sparing it mean anything.
    ASSERT_TRUE(Eventually([&] { return sameName.Runs(otherDir / "TessaryEngine"); }, 6s));

    const ToolResult result = RunKillTool(data.Path(), "TessaryEngine c");
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_TRUE(Eventually([&] { return !engine.Running(); }, 6s));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(sameName.Running());

    // Nothing left to end.
    const ToolResult again = RunKillTool(data.Path(), "TessaryEngine c");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.errors.find("not running"), std::string::npos);
}

TEST(KillTool, NeverTouchesAnotherUsersProcess) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to start a process as another user";
    }
    TempFolder data;
    fs::permissions(data.Path(), fs::perms::owner_all | fs::perms::group_exec |
                                     fs::perms::others_exec | fs::perms::others_read);
    const fs::path workDir = data.Path() / "Tessary";
    fs::create_directories(workDir);
    // The program file the tool looks for, run by the user "nobody".
    const fs::path engineFile = workDir / "TessaryEngine";
    fs::copy_file("/bin/sleep", engineFile);
    fs::permissions(workDir, fs::perms::owner_all | fs::perms::others_exec |
                                 fs::perms::others_read | fs::perms::group_exec);
    Child foreign(engineFile.string(), "60", 65534);
    ASSERT_TRUE(Eventually([&] { return foreign.Runs(engineFile); }, 6s));

    const ToolResult result = RunKillTool(data.Path(), "TessaryEngine c");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(foreign.Running());

    // The same file run by this user is ended.
    Child own(engineFile.string(), "60");
    ASSERT_TRUE(Eventually([&] { return own.Runs(engineFile); }, 6s));
    EXPECT_EQ(RunKillTool(data.Path(), "TessaryEngine c").status, 0);
    EXPECT_TRUE(Eventually([&] { return !own.Running(); }, 6s));
    EXPECT_TRUE(foreign.Running());
}

TEST(KillTool, WrongCommandLinesShowTheUsage) {
    TempFolder data;
    for (const char* arguments :
         {"", "TessaryEngine", "TessaryEngine a", "TessaryEngine c extra"}) {
        const ToolResult result = RunKillTool(data.Path(), arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_NE(result.errors.find("usage: pskl PROGRAM c"), std::string::npos);
    }
    const ToolResult missing = RunKillTool(data.Path(), "TessaryEngine c");
    EXPECT_EQ(missing.status, 1);
    EXPECT_FALSE(missing.errors.empty());
}
