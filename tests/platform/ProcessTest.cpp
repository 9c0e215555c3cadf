#include "TestSupport.h"
#include "platform/platform.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ioprio.h>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>

namespace {

using namespace platform;
using testing_support::ReadText;
using testing_support::ScratchFolder;
using testing_support::WriteText;

using Args = std::vector<std::string>;

TEST(ThreadPriority, LowersTheCallingThreadOnlyForProcessorAndDisk) {
    const auto niceOf = [](pid_t tid) {
        return ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    };
    const auto ioClassOf = [](pid_t tid) {
        const long value = ::syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, static_cast<int>(tid));
        return value < 0 ? -1 : static_cast<int>(IOPRIO_PRIO_CLASS(value));
    };
    const int before = niceOf(::gettid());
    const int ioBefore = ioClassOf(::gettid());
    int inThread = before;
    int ioInThread = ioBefore;
    bool lowered = false;
    std::thread worker([&] {
        lowered = LowerThreadPriority();
        inThread = niceOf(::gettid());
        ioInThread = ioClassOf(::gettid());
    });
    worker.join();
    ASSERT_TRUE(lowered);
    EXPECT_GT(inThread, before);
    EXPECT_EQ(ioInThread, IOPRIO_CLASS_IDLE);
    EXPECT_EQ(niceOf(::gettid()), before);
    EXPECT_EQ(ioClassOf(::gettid()), ioBefore);
}

TEST(SplitCommandLine, BlanksSeparateAndQuotesGroup) {
    EXPECT_EQ(SplitCommandLine(""), Args{});
    EXPECT_EQ(SplitCommandLine(" \t "), Args{});
    EXPECT_EQ(SplitCommandLine("abcdef \"./wdoc\""), (Args{"abcdef", "./wdoc"}));
    EXPECT_EQ(SplitCommandLine("  a\tb   c "), (Args{"a", "b", "c"}));
    EXPECT_EQ(SplitCommandLine("\"a b\" c"), (Args{"a b", "c"}));
    EXPECT_EQ(SplitCommandLine("a\"b c\"d"), (Args{"ab cd"}));
    EXPECT_EQ(SplitCommandLine("\"\""), (Args{""}));
    EXPECT_EQ(SplitCommandLine("\"\" x \"\""), (Args{"", "x", ""}));
    EXPECT_EQ(SplitCommandLine("\"open to the end"), (Args{"open to the end"}));
}

TEST(SplitCommandLine, BackslashesEscapeOnlyBeforeAQuote) {
    EXPECT_EQ(SplitCommandLine(R"(C:\dir\file a\\b)"), (Args{R"(C:\dir\file)", R"(a\\b)"}));
    EXPECT_EQ(SplitCommandLine(R"(trailing\\)"), (Args{R"(trailing\\)"}));
    // 2n+1 backslashes and a quote: n backslashes and a literal quote.
    EXPECT_EQ(SplitCommandLine(R"(a\"b)"), (Args{R"(a"b)"}));
    EXPECT_EQ(SplitCommandLine(R"(a\\\"b)"), (Args{R"(a\"b)"}));
    // 2n backslashes and a quote: n backslashes, and the quote opens or closes.
    EXPECT_EQ(SplitCommandLine(R"(a\\"b c")"), (Args{R"(a\b c)"}));
    EXPECT_EQ(SplitCommandLine(R"("C:\path with blank\\" next)"),
              (Args{R"(C:\path with blank\)", "next"}));
}

TEST(SplitCommandLine, DoubledQuoteInsideQuotesIsOneQuote) {
    EXPECT_EQ(SplitCommandLine(R"("a""b")"), (Args{R"(a"b)"}));
    EXPECT_EQ(SplitCommandLine(R"("a""b c")"), (Args{R"(a"b c)"}));
    EXPECT_EQ(SplitCommandLine(R"("say ""hi""" x)"), (Args{R"(say "hi")", "x"}));
}

// Children of this process that have ended but were never waited for.
int ZombieChildren() {
    int zombies = 0;
    const std::string self = std::to_string(::getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string stat = ReadText(entry.path() / "stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(close + 2));
        std::string state;
        std::string parent;
        fields >> state >> parent;
        if (parent == self && state == "Z") {
            ++zombies;
        }
    }
    return zombies;
}

bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

class RunHiddenTest : public ::testing::Test {
  protected:
    ScratchFolder folder;
    std::string real = CanonicalPath(folder.Path()).value_or("");

    std::string MakeScript(const std::string& path, const std::string& body) {
        WriteText(path, "#!/bin/sh\n" + body);
        ::chmod(path.c_str(), 0755);
        return path;
    }
};

TEST_F(RunHiddenTest, RunsInTheProgramsFolderWithSplitParametersAndNullStreams) {
    // A descriptor without close-on-exec, which the child must not inherit.
    int leaky = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(leaky, 3);
    std::string script = MakeScript(folder / "probe.sh",
                                    "pwd -P > cwd.txt\n"
                                    "shift; printf '%s|' \"$@\" > args.txt\n"
                                    "f0=$(readlink /proc/$$/fd/0); f1=$(readlink /proc/$$/fd/1)\n"
                                    "f2=$(readlink /proc/$$/fd/2); echo \"$f0 $f1 $f2\" > fds.txt\n"
                                    "if [ -e /proc/$$/fd/" +
                                        std::to_string(leaky) +
                                        " ]; then echo leaked > leak.txt; fi\n"
                                        "echo > done\n");
    ASSERT_TRUE(RunHidden(script, "ignored \"two words\" three \\\"q"));
    ::close(leaky);
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(folder / "done"); }));
    EXPECT_EQ(ReadText(folder / "cwd.txt"), real + "\n");
    EXPECT_EQ(ReadText(folder / "args.txt"), "two words|three|\"q|");
    EXPECT_EQ(ReadText(folder / "fds.txt"), "/dev/null /dev/null /dev/null\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "leak.txt"));
    EXPECT_TRUE(WaitFor([] { return ZombieChildren() == 0; }))
        << "a started program stays a zombie";
}

TEST_F(RunHiddenTest, RelativePathRunsFromItsOwnFolder) {
    std::filesystem::create_directory(folder / "sub");
    MakeScript(folder / "sub/probe.sh", "pwd -P > cwd.txt\n");
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.Path());
    bool started = RunHidden("sub/probe.sh", "");
    std::filesystem::current_path(previous);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WaitFor([&] { return !ReadText(folder / "sub/cwd.txt").empty(); }));
    EXPECT_EQ(ReadText(folder / "sub/cwd.txt"), real + "/sub\n");
}

TEST_F(RunHiddenTest, FalseWhenItCannotStart) {
    EXPECT_FALSE(RunHidden(folder / "missing", ""));
    EXPECT_FALSE(RunHidden(folder / "no-folder/prog", ""));
    EXPECT_FALSE(RunHidden("", ""));
    WriteText(folder / "plain.txt", "not a program");
    EXPECT_FALSE(RunHidden(folder / "plain.txt", ""));
}

TEST_F(RunHiddenTest, DefaultAppOpenerGetsTheTargetAsOneArgument) {
    MakeScript(folder / "xdg-open", "printf '%s|' \"$@\" > \"" + folder.Path() + "opened.txt\"\n");
    const char* oldPath = std::getenv("PATH");
    std::string saved = oldPath != nullptr ? oldPath : "";
    ::setenv("PATH", folder.Path().c_str(), 1);
    bool started = OpenWithDefaultApp("/home/user/My Files/");
    ::setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WaitFor([&] { return !ReadText(folder / "opened.txt").empty(); }));
    EXPECT_EQ(ReadText(folder / "opened.txt"), "/home/user/My Files/|");
    EXPECT_FALSE(OpenWithDefaultApp(""));
}

TEST(Processes, TableHoldsThisProcessAndAChild) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    auto processes = ListProcesses();
    bool foundSelf = false;
    bool foundChild = false;
    for (const auto& process : processes) {
        if (process.pid == CurrentProcessId()) {
            foundSelf = true;
            EXPECT_EQ(process.user, CurrentUserId());
            EXPECT_EQ(process.executable, ExecutablePath());
        }
        foundChild = foundChild || process.pid == child;
    }
    EXPECT_TRUE(foundSelf);
    EXPECT_TRUE(foundChild);
    EXPECT_EQ(CurrentProcessId(), ::getpid());
    EXPECT_EQ(CurrentUserId(), std::to_string(::getuid()));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST(Processes, SignalsEndAChildAndZombiesDoNotCount) {
    for (Signal signal : {Signal::Terminate, Signal::Kill}) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::pause();
            ::_exit(0);
        }
        EXPECT_TRUE(ProcessExists(child));
        ASSERT_TRUE(SendSignal(child, signal));
        // Ended but not yet waited for: a zombie is not a running process.
        EXPECT_TRUE(WaitFor([&] { return !ProcessExists(child); }));
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal == Signal::Kill ? SIGKILL : SIGTERM);
        EXPECT_FALSE(ProcessExists(child));
        EXPECT_FALSE(SendSignal(child, signal));
    }
}

TEST(Processes, NeverSignalsGroups) {
    EXPECT_TRUE(ProcessExists(CurrentProcessId()));
    EXPECT_FALSE(ProcessExists(0));
    EXPECT_FALSE(ProcessExists(-1));
    EXPECT_FALSE(SendSignal(0, Signal::Terminate));
    EXPECT_FALSE(SendSignal(-1, Signal::Kill));
    EXPECT_FALSE(SendSignal(1 << 30, Signal::Terminate));
}

TEST(Misc, GuidIsUpperCaseBracedAndNew) {
    auto first = NewGuidText();
    auto second = NewGuidText();
    ASSERT_TRUE(first && second);
    const std::regex form(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})");
    EXPECT_TRUE(std::regex_match(*first, form)) << *first;
    EXPECT_NE(*first, *second);
}

TEST(Misc, DebugOutputWritesOneLineToStandardError) {
    ::testing::internal::CaptureStderr();
    DebugOutput("update check: status 200");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "update check: status 200\n");
}

} // namespace
