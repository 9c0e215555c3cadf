// TessaryEngine: serves the web root to phones on the local network and
// stores their uploads. Silent except for errors on standard error.

#include "engine/EngineOptions.h"
#include "engine/HttpRules.h"
#include "engine/HttpServer.h"
#include "engine/UploadStore.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

// How often the engine looks for a stop request and for the end of the
// process that started it; how many of those rounds pass between looks for
// stalled connections, and between checks of unfinished uploads for expiry.
constexpr std::chrono::milliseconds WaitSlice{250};
constexpr int SlicesPerTick = 4;
constexpr int TicksPerExpirySweep = 15;
// How long a new engine tries to take over the port of an earlier one.
constexpr std::chrono::seconds TakeoverTime{4};

int Fail(const std::string& message) {
    std::cerr << "TessaryEngine: " << message << "\n";
    return 1;
}

// A fresh secret for this run, as lower-case hex.
std::optional<std::string> NewToken() {
    std::array<unsigned char, 16> bytes{};
    if (!platform::RandomBytes(bytes)) {
        return std::nullopt;
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += hex[byte >> 4];
        text += hex[byte & 0x0F];
    }
    return text;
}

// Starts the server. When the port is held by an earlier engine of this very
// program file and user (one left behind by a run that ended badly), ends
// that engine and tries again for a while; a port held by anything else is
// left alone.
bool StartServer(engine::HttpServer& server, std::uint16_t port, std::string& error) {
    if (server.Start(error)) {
        return true;
    }
    const auto owners = platform::ListeningSocketOwners(port);
    if (!owners || owners->empty()) {
        return false;
    }
    // Held from here on, so the processes ended are the ones judged.
    auto engines =
        platform::FindProcessesOfProgram(platform::ExecutablePath(), platform::CurrentUserId());
    const std::vector<int> engineIds = platform::ProcessIds(engines);
    for (const int owner : *owners) {
        if (std::find(engineIds.begin(), engineIds.end(), owner) == engineIds.end()) {
            error += " (held by another program)";
            return false;
        }
    }
    std::erase_if(engines, [&](const platform::RunningProcess& engine) {
        return std::find(owners->begin(), owners->end(), engine.Id()) == owners->end();
    });
    platform::EndProcesses(engines, std::chrono::seconds(2));
    const auto deadline = std::chrono::steady_clock::now() + TakeoverTime;
    while (std::chrono::steady_clock::now() < deadline) {
        if (server.Start(error)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // First of all, so that a parent gone during start-up is noticed too.
    const platform::ParentProcessWatch parent;
    const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
    const auto parsed = engine::ParseEngineOptions(args);
    if (!parsed.options) {
        std::cerr << "TessaryEngine: " << parsed.error << "\n" << engine::EngineUsage();
        return 2;
    }
    const engine::EngineOptions& options = *parsed.options;

    // Before any thread exists, so that every thread inherits it.
    platform::HoldStopSignals();

    const auto workDir = platform::CanonicalPath(".");
    const auto webRoot = platform::CanonicalPath(options.webRoot);
    if (!workDir || !webRoot || !platform::FolderExists(*webRoot)) {
        return Fail("web root not found: " + options.webRoot);
    }
    constexpr char delimiter = platform::PathDelimiter;
    const auto asFolder = [](const std::string& path) {
        return path.ends_with(delimiter) ? path : path + delimiter;
    };
    const std::string rootDir = asFolder(*webRoot);
    const std::string stagingDir = asFolder(*workDir) + "staging" + delimiter;

    engine::ServerConfig config;
    if (options.timeoutSeconds) {
        config.connectionTimeoutSeconds = *options.timeoutSeconds;
        config.requestStartSeconds = *options.timeoutSeconds;
    }
    if (options.minReplyRate) {
        config.minReplyBytesPerSecond = *options.minReplyRate;
    }
    if (options.keyBudget) {
        config.keyLimits.network = *options.keyBudget;
    }
    // An upload whose bytes stop for as long as a stalled body is cut gives
    // its room back.
    engine::UploadStore store(stagingDir, rootDir + "u" + delimiter + "ufiles" + delimiter,
                              std::chrono::seconds(config.requestStartSeconds));
    if (!store.PrepareStaging()) {
        return Fail("cannot use the staging folder " + stagingDir);
    }

    config.pageKey = options.pageKey;
    config.webRoot = rootDir;
    config.stagingDir = stagingDir;
    config.port = options.port;
    config.bindAddress = options.bindAddress;
    config.ownHostNames = engine::OwnHostNames(platform::LocalHostName());
    const auto token = NewToken();
    if (!token) {
        return Fail("the system gives no random bytes");
    }
    config.proofToken = *token;
    engine::HttpServer server(config, store);
    std::string error;
    if (!StartServer(server, options.port, error)) {
        return Fail("cannot listen on port " + std::to_string(options.port) + ": " + error);
    }

    // The engine never outlives the program that started it: once that has
    // gone (killed, crashed), it stops as on a stop signal.
    for (long slice = 1; !platform::WaitForStopSignal(WaitSlice) && !parent.ParentHasEnded();
         ++slice) {
        if (slice % SlicesPerTick != 0) {
            continue;
        }
        server.CloseStalledConnections();
        if (slice % (SlicesPerTick * TicksPerExpirySweep) == 0) {
            store.SweepExpired(engine::UploadStore::Clock::now());
        }
    }
    // Stopping the server aborts uploads in progress; the store then removes
    // every staged byte as it goes.
    server.Stop();
    return 0;
}
