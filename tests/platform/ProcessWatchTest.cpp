// Stop requests, the end of the starting process, who holds a port, random
// bytes: against real signals, processes and sockets on loopback.

#include "ProcessSupport.h"
#include "TestSupport.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

using namespace platform;
using namespace std::chrono_literals;

// Looks every 20 ms; each look counts once (a condition may reap a child).
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    return testsupport::Eventually(condition, limit);
}

using Listener = testsupport::LoopbackListener;

TEST(StopRequestWatch, ASignalCallsBackOutsideTheHandlerAndTheProcessLives) {
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        std::mutex mutex;
        std::condition_variable called;
        int calls = 0;
        std::thread::id callingThread;
        {
            StopRequestWatch watch([&] {
                std::lock_guard lock(mutex); // not allowed in a signal handler
                ++calls;
                callingThread = std::this_thread::get_id();
                called.notify_all();
            });
            ASSERT_TRUE(watch.IsWatching());
            ASSERT_EQ(::kill(::getpid(), number), 0);
            std::unique_lock lock(mutex);
            EXPECT_TRUE(called.wait_for(lock, 5s, [&] { return calls > 0; })) << number;
            EXPECT_NE(callingThread, std::this_thread::get_id());
        }
        // Gone with the watch: the signal's own action is back.
        struct sigaction now {};
        ::sigaction(number, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << number;
    }
}

TEST(StopRequestWatch, OnlyOneAtATime) {
    StopRequestWatch first([] {});
    StopRequestWatch second([] {});
    EXPECT_TRUE(first.IsWatching());
    EXPECT_FALSE(second.IsWatching());
}

TEST(StopRequestWatch, OnceTheWatchIsGoneTheSignalEndsTheProcessAgain) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        {
            StopRequestWatch watch([] {});
        }
        ::kill(::getpid(), SIGTERM);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(ParentProcessWatch, TellsWhenTheStartingProcessHasGone) {
    // This test starts a middle process, which starts a watcher and ends once
    // the watcher's watch is made; the watcher reports what it sees.
    int made[2];
    int report[2];
    ASSERT_EQ(::pipe(made), 0);
    ASSERT_EQ(::pipe(report), 0);
    const pid_t middle = ::fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        if (::fork() == 0) {
            const ParentProcessWatch parent;
            const char before = parent.ParentHasEnded() ? 'y' : 'n';
            [[maybe_unused]] auto a = ::write(made[1], &before, 1);
            char after = 't'; // not noticed within 10 s
            for (int i = 0; i < 1000; ++i) {
                if (parent.ParentHasEnded()) {
                    after = 'y';
                    break;
                }
                ::usleep(10000);
            }
            [[maybe_unused]] auto b = ::write(report[1], &after, 1);
            ::_exit(0);
        }
        char before = 0;
        [[maybe_unused]] auto c = ::read(made[0], &before, 1);
        [[maybe_unused]] auto d = ::write(report[1], &before, 1);
        ::_exit(0);
    }
    ::close(made[0]);
    ::close(made[1]);
    ::close(report[1]);
    char before = 0;
    ASSERT_EQ(::read(report[0], &before, 1), 1);
    ASSERT_EQ(::waitpid(middle, nullptr, 0), middle);
    EXPECT_EQ(before, 'n');
    char after = 0;
    EXPECT_EQ(::read(report[0], &after, 1), 1);
    EXPECT_EQ(after, 'y');
    ::close(report[0]);
}

TEST(ListeningSocketOwners, NamesTheProcessThatListensAndNoOtherPort) {
    const Listener mine;
    const auto owners = ListeningSocketOwners(mine.Port());
    ASSERT_TRUE(owners);
    EXPECT_EQ(*owners, std::vector<int>{CurrentProcessId()});

    // A child listening on another port is that port's owner, not this one's.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const Listener theirs;
        const std::uint16_t port = theirs.Port();
        [[maybe_unused]] auto w = ::write(ready[1], &port, sizeof port);
        ::pause();
        ::_exit(0);
    }
    std::uint16_t childPort = 0;
    ASSERT_EQ(::read(ready[0], &childPort, sizeof childPort),
              static_cast<ssize_t>(sizeof childPort));
    const auto childOwners = ListeningSocketOwners(childPort);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_TRUE(childOwners);
    EXPECT_EQ(*childOwners, std::vector<int>{child});
    EXPECT_EQ(*ListeningSocketOwners(mine.Port()), std::vector<int>{CurrentProcessId()});
}

TEST(ListeningSocketOwners, NobodyForAFreePort) {
    std::uint16_t freePort = 0;
    {
        const Listener gone;
        freePort = gone.Port();
    }
    const auto owners = ListeningSocketOwners(freePort);
    ASSERT_TRUE(owners);
    EXPECT_TRUE(owners->empty());
}

TEST(FindProcessesOfProgram, OnlyThatProgramFileAndNeverTheCaller) {
    testing_support::ScratchFolder folder;
    const std::string sleeper = folder.Path() + "sleeper";
    std::filesystem::copy_file("/bin/sleep", sleeper);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl(sleeper.c_str(), sleeper.c_str(), "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Found once it runs that file (a forked copy of this program is not it).
    EXPECT_TRUE(WaitFor([&] {
        return ProcessIds(FindProcessesOfProgram(sleeper, CurrentUserId())) ==
               std::vector<int>{child};
    }));
    // Other runs of this test program may be about; this one never counts.
    const auto sameProgram = ProcessIds(FindProcessesOfProgram(ExecutablePath(), CurrentUserId()));
    EXPECT_EQ(std::count(sameProgram.begin(), sameProgram.end(), CurrentProcessId()), 0);
    EXPECT_TRUE(FindProcessesOfProgram(sleeper, CurrentUserId() + "0").empty());
    EXPECT_EQ(EndProcesses(FindProcessesOfProgram(sleeper, CurrentUserId()), 2s),
              std::vector<int>{child});
    ::waitpid(child, nullptr, 0);
}

TEST(RandomBytes, FillsEveryByteAndDiffersEachTime) {
    std::array<unsigned char, 64> first{};
    std::array<unsigned char, 64> second{};
    ASSERT_TRUE(RandomBytes(first));
    ASSERT_TRUE(RandomBytes(second));
    EXPECT_NE(first, second);
    // 64 zero bytes from a working source are as good as impossible.
    EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](unsigned char b) { return b != 0; }));
    EXPECT_TRUE(RandomBytes({}));
}

} // namespace
