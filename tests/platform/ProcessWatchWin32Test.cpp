// Stop requests, the parent watch, port owners, process search and the other
// things the engine asks of Windows at start and stop (under Wine here).

#include "Win32TestSupport.h"
#include "platform/platform.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <winsock2.h>

using namespace std::chrono_literals;
using win32_testing::Child;
using win32_testing::ReadText;
using win32_testing::ScratchFolder;
using win32_testing::WaitUntil;

namespace {

// A listening socket on a free loopback port, closed at the end.
class Listener {
  public:
    Listener() {
        WSADATA data{};
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        if (socket_ != INVALID_SOCKET &&
            ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(socket_, 4) == 0 &&
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ::ntohs(address.sin_port);
    }
    ~Listener() {
        if (socket_ != INVALID_SOCKET)
            ::closesocket(socket_);
        if (started_)
            ::WSACleanup();
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    std::uint16_t Port() const { return port_; }

  private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
};

} // namespace

TEST(Win32StopRequestWatch, ARequestCallsBackAndTheProcessLivesUntilTheWatchIsGone) {
    ScratchFolder scratch;
    const std::string ready = scratch / "ready";
    Child child({"watch-stop", ready, scratch / "seen"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(ready); }, 20s));

    ASSERT_TRUE(platform::SendSignal(child.Pid(), platform::Signal::Terminate));
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(scratch / "seen"); }, 20s));
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(ready + ".unwatched"); }, 20s));
    EXPECT_TRUE(platform::ProcessExists(child.Pid()));

    // Without the watch, a stop request ends the process as before.
    ASSERT_TRUE(platform::SendSignal(child.Pid(), platform::Signal::Terminate));
    EXPECT_EQ(child.Wait(20s), 1);
}

TEST(Win32StopRequestWatch, OnlyOneAtATime) {
    platform::StopRequestWatch first([] {});
    platform::StopRequestWatch second([] {});
    EXPECT_TRUE(first.IsWatching());
    EXPECT_FALSE(second.IsWatching());
}

TEST(Win32ParentProcessWatch, TellsWhenTheStartingProcessHasGone) {
    ScratchFolder scratch;
    const std::string file = scratch / "parent";
    // The child starts a grandchild and ends; the grandchild sees it go.
    Child child({"spawn-watcher", file});
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(30s), 0);
    EXPECT_TRUE(WaitUntil([&] { return ReadText(file) == "ny"; }, 20s)) << ReadText(file);
}

TEST(Win32ListeningSocketOwners, NamesTheListenerAndNobodyForAFreePort) {
    Listener mine;
    ASSERT_NE(mine.Port(), 0);
    std::uint16_t freePort = 0;
    {
        Listener gone;
        freePort = gone.Port();
    }
    const auto nobody = platform::ListeningSocketOwners(freePort);
    ASSERT_TRUE(nobody);
    EXPECT_TRUE(nobody->empty());

    const auto owners = platform::ListeningSocketOwners(mine.Port());
    // Wine lists the listening sockets with owner 0 for all: a port that
    // is held, by an owner that cannot be told.
    if (!owners)
        GTEST_SKIP() << "this system does not tell the owners of sockets";
    EXPECT_EQ(*owners, std::vector<int>{platform::CurrentProcessId()});

    ScratchFolder scratch;
    Child child({"listen", scratch / "port"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(WaitUntil([&] { return !ReadText(scratch / "port").empty(); }, 20s));
    const auto childPort = static_cast<std::uint16_t>(std::stoi(ReadText(scratch / "port")));
    const auto childOwners = platform::ListeningSocketOwners(childPort);
    ASSERT_TRUE(childOwners);
    EXPECT_EQ(*childOwners, std::vector<int>{child.Pid()});
}

TEST(Win32FindProcessesOfProgram, OnlyThatProgramFileAndNeverTheCaller) {
    ScratchFolder scratch;
    const std::string copy = scratch / "sleeper.exe";
    ASSERT_TRUE(
        platform::CopyFile(platform::ExecutablePath(), copy, platform::CopyMode::FailIfExists));
    Child sleeper({"sleep"}, copy);
    ASSERT_TRUE(sleeper.Started());
    // Found by the path in any case and either delimiter.
    std::string otherForm = copy;
    std::transform(otherForm.begin(), otherForm.end(), otherForm.begin(), [](unsigned char c) {
        return c == '\\' ? '/' : static_cast<char>(std::toupper(c));
    });
    EXPECT_TRUE(WaitUntil(
        [&] {
            return platform::ProcessIds(platform::FindProcessesOfProgram(
                       otherForm, platform::CurrentUserId())) == std::vector<int>{sleeper.Pid()};
        },
        10s));
    const auto same = platform::ProcessIds(
        platform::FindProcessesOfProgram(platform::ExecutablePath(), platform::CurrentUserId()));
    EXPECT_EQ(std::count(same.begin(), same.end(), platform::CurrentProcessId()), 0);
    EXPECT_EQ(std::count(same.begin(), same.end(), sleeper.Pid()), 0);
    // The whole SID decides: one that differs only in its last part is
    // another account.
    const std::string me = platform::CurrentUserId();
    ASSERT_EQ(me.rfind("S-1-", 0), 0u) << me;
    const std::string sameLastPart =
        me.substr(0, me.find('-', 4)) + "-99" + me.substr(me.find('-', 4));
    EXPECT_TRUE(platform::FindProcessesOfProgram(copy, sameLastPart).empty());

    const auto held = platform::FindProcessesOfProgram(copy, me);
    EXPECT_EQ(platform::EndProcesses(held, 2s), std::vector<int>{sleeper.Pid()});
    EXPECT_FALSE(platform::ProcessExists(sleeper.Pid()));
}

TEST(Win32Misc, RandomBytesFillEveryByteAndDifferEachTime) {
    std::array<unsigned char, 64> first{};
    std::array<unsigned char, 64> second{};
    ASSERT_TRUE(platform::RandomBytes(first));
    ASSERT_TRUE(platform::RandomBytes(second));
    EXPECT_NE(first, second);
    // 64 random bytes all zero has odds of 2^-512.
    EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](unsigned char b) { return b != 0; }));
    EXPECT_TRUE(platform::RandomBytes({}));
}

TEST(Win32Misc, HostNameAndBackgroundPriority) {
    EXPECT_FALSE(platform::LocalHostName().empty());
    bool lowered = false;
    int priority = THREAD_PRIORITY_NORMAL;
    std::thread worker([&] {
        lowered = platform::LowerThreadPriority();
        priority = ::GetThreadPriority(::GetCurrentThread());
    });
    worker.join();
    EXPECT_TRUE(lowered);
    EXPECT_LT(priority, THREAD_PRIORITY_NORMAL);
}
