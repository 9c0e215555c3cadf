// TessaryEngine: serves the web root to phones on the local network and
// stores their uploads. Silent except for errors on standard error.

#include "engine/EngineOptions.h"
#include "engine/HttpRules.h"
#include "engine/HttpServer.h"
#include "engine/UploadStore.h"
#include "killtool/ProcessKiller.h"
#include "platform/platform.h"

#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

// How often stalled connections are looked for, and how many of those
// rounds pass between checks of unfinished uploads for expiry.
constexpr std::chrono::seconds TickInterval{1};
constexpr int TicksPerExpirySweep = 60;
// How long a new engine tries to take over the port of an earlier one.
constexpr std::chrono::seconds TakeoverTime{4};

int Fail(const std::string& message) {
    std::cerr << "TessaryEngine: " << message << "\n";
    return 1;
}

// A fresh secret for this run, as lower-case hex.
std::optional<std::string> NewToken() {
    const auto bytes = platform::RandomBytes(16);
    if (!bytes) {
        return std::nullopt;
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const char c : *bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += hex[byte >> 4];
        text += hex[byte & 0x0F];
    }
    return text;
}

// Starts the server; when the port is held and an earlier engine of this
// user runs, ends it and tries again for a while.
bool StartServer(engine::HttpServer& server, std::string& error) {
    if (server.Start(error)) {
        return true;
    }
    const auto earlier =
        killtool::FindProcesses(platform::ExecutablePath(), platform::CurrentUserId());
    if (earlier.empty()) {
        return false;
    }
    killtool::EndProcesses(earlier, std::chrono::seconds(2));
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
    const std::vector<std::string> args(argv + 1, argv + argc);
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
    const std::string rootDir = *webRoot == "/" ? "/" : *webRoot + "/";
    const std::string stagingDir = (*workDir == "/" ? "" : *workDir) + "/staging/";

    engine::UploadStore store(stagingDir, rootDir + "u/ufiles/");
    if (!store.PrepareStaging()) {
        return Fail("cannot use the staging folder " + stagingDir);
    }

    engine::ServerConfig config;
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
    if (options.timeoutSeconds) {
        config.connectionTimeoutSeconds = *options.timeoutSeconds;
        config.requestStartSeconds = *options.timeoutSeconds;
    }
    engine::HttpServer server(config, store);
    std::string error;
    if (!StartServer(server, error)) {
        return Fail("cannot listen on port " + std::to_string(options.port) + ": " + error);
    }

    for (int tick = 1; !platform::WaitForStopSignal(TickInterval); ++tick) {
        server.CloseStalledConnections();
        if (tick % TicksPerExpirySweep == 0) {
            store.SweepExpired(engine::UploadStore::Clock::now());
        }
    }
    // Stopping the server aborts uploads in progress; the store then removes
    // every staged byte as it goes.
    server.Stop();
    return 0;
}
