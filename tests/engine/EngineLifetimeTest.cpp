// The real engine ends with the process that started it. Linux only: the
// middle process that starts it is forked (Windows: the parent watch in
// tests/platform).

#include "EngineHarness.h"
#include "platform/platform.h"

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

// Forks and runs the engine in work on 127.0.0.1:port, as Engine does, but
// without waiting for it to come up; the caller owns the child.
pid_t RunEngine(const fs::path& program, const fs::path& work, std::uint16_t port) {
    fs::create_directories(work / "wdoc/u/ufiles");
    fs::create_directories(work / "wdoc/d/dfiles");
    const std::string portText = std::to_string(port);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(work.c_str()) != 0) {
            _exit(126);
        }
        execl(program.c_str(), program.c_str(), Engine::Key, "./wdoc", "--port", portText.c_str(),
              "--bind", "127.0.0.1", static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

} // namespace

TEST(EngineLifetime, EndsOnceTheProcessThatStartedItHasGone) {
    TempFolder work;
    const std::uint16_t port = FreePort();
    // A middle process starts the engine and then waits, as the program does.
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        const pid_t engine = RunEngine(EngineProgram(), work.Path(), port);
        [[maybe_unused]] auto written = write(report[1], &engine, sizeof engine);
        for (;;) {
            pause();
        }
    }
    close(report[1]);
    pid_t engine = -1;
    ASSERT_EQ(read(report[0], &engine, sizeof engine), static_cast<ssize_t>(sizeof engine));
    close(report[0]);
    ASSERT_TRUE(Eventually([&] { return Connection(port).IsOpen(); }, 10s));

    // An upload in flight leaves staged bytes.
    const std::string content = Pattern(1024 * 1024, 3);
    Connection upload(port);
    ASSERT_TRUE(upload.Send(
        "POST /api/upload?key=abcdef&id=t1&name=a.bin&size=" + std::to_string(content.size()) +
        "&offset=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
        "application/octet-stream\r\nContent-Length: " +
        std::to_string(content.size()) + "\r\n\r\n" + content.substr(0, 300000)));
    ASSERT_TRUE(Eventually([&] { return FileNames(work.Path() / "staging").size() == 1; }));

    ASSERT_EQ(kill(starter, SIGKILL), 0);
    ASSERT_EQ(waitpid(starter, nullptr, 0), starter);
    const bool ended = Eventually([&] { return !platform::ProcessExists(engine); }, 3s);
    if (!ended) {
        kill(engine, SIGKILL);
    }
    EXPECT_TRUE(ended) << "the engine outlived the process that started it";
    EXPECT_FALSE(Connection(port).IsOpen());
    EXPECT_TRUE(FileNames(work.Path() / "staging").empty());
    EXPECT_TRUE(FileNames(work.Path() / "wdoc/u/ufiles").empty());
}
