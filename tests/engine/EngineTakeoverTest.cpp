// Taking over the port of an earlier engine of the same program file, and
// leaving alone a port that another program holds.

#include "EngineHarness.h"
#include "platform/platform.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace fs = std::filesystem;
using namespace enginetest;
using namespace std::chrono_literals;

namespace {

bool Serves(std::uint16_t port) {
    return Request(port, "GET", "/api/upload?key=abcdef&id=x").status == 404;
}

} // namespace

TEST(EngineLifetime, TakingOverAPortEndsOnlyTheEngineHoldingIt) {
    const EngineCopy copy;
    StartOptions options;
    options.program = copy.Path().string();
    Engine holder(options);
    if (!platform::ListeningSocketOwners(holder.Port()))
        GTEST_SKIP() << "this system does not tell the owners of sockets (Wine)";
    Engine elsewhere(options); // the same program file on another port

    options.port = holder.Port();
    Engine later(options);
    EXPECT_TRUE(Eventually([&] { return !holder.Running(); }));
    // It was asked to end, and ended as asked.
    EXPECT_EQ(holder.Terminate(1000), 0);
    // Up once the holder has let go (until then the holder answered probes).
    EXPECT_TRUE(Eventually([&] { return Serves(later.Port()); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(elsewhere.Running());
    EXPECT_TRUE(Serves(elsewhere.Port()));
}

TEST(EngineLifetime, APortHeldByAnotherProgramEndsNoEngine) {
    const EngineCopy copy;
    StartOptions options;
    options.program = copy.Path().string();
    Engine earlier(options);
    const Listener other; // this test program is "another program"

    TempFolder work;
    fs::create_directories(work.Path() / "wdoc/u/ufiles");
    const auto started = std::chrono::steady_clock::now();
    const ProgramRun late = RunEngineOnce(
        work.Path(),
        {Engine::Key, "./wdoc", "--port", std::to_string(other.Port()), "--bind", "127.0.0.1"},
        std::nullopt, copy.Path().string());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(late.status, 1) << late.errors;
    // No takeover was tried: it gave up at once instead of after seconds.
    EXPECT_LT(took, 2s);

    EXPECT_TRUE(earlier.Running());
    EXPECT_TRUE(Serves(earlier.Port()));
    // Wine does not tell the owners of sockets; the engine then gives up as
    // for another program's port, which the checks above show.
    if (const auto owners = platform::ListeningSocketOwners(other.Port())) {
        EXPECT_EQ(*owners, std::vector<int>{platform::CurrentProcessId()});
    }
}
