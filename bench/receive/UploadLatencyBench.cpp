// Measures how long a finished upload takes to appear in the receiving
// folder: a writer thread creates files under the engine's lock and lets go
// of each at a random moment, while the main thread runs the watcher on a
// one-second tick, as the window's timer does. Prints median and maximum of
// release -> arrival.

#include "app/core/UploadWatcher.h"
#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Upload {
    std::string name;
    Clock::time_point released{};
    Clock::time_point arrived{};
    bool hasArrived = false;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: upload_latency_bench <empty work folder> [uploads]\n");
        return 2;
    }
    const std::string work = misc::IncludeTrailingDelimiter(argv[1]);
    const int count = argc > 2 ? std::stoi(argv[2]) : 50;
    const std::string uploadDir = work + "ufiles/";
    const std::string receiveDir = work + "received/";
    misc::EnsureFolder(uploadDir);
    misc::EnsureFolder(receiveDir);

    std::vector<Upload> uploads(static_cast<std::size_t>(count));
    std::mutex mutex;
    std::atomic<bool> writerDone{false};

    // The engine's side: each file is written under the lock, held for a
    // random while so releases fall anywhere within the tick.
    std::thread writer([&] {
        std::mt19937 random(8016);
        std::uniform_int_distribution<int> holdMs(0, 1500);
        const std::string block(256 * 1024, 'u');
        for (int i = 0; i < count; ++i) {
            const std::string name = "upload_" + std::to_string(i) + ".jpg";
            auto file = platform::LockedFile::CreateNew(uploadDir + name);
            if (!file) {
                std::fprintf(stderr, "cannot create %s\n", name.c_str());
                continue;
            }
            file->Append({block.data(), block.size()});
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs(random)));
            {
                const std::lock_guard lock(mutex);
                uploads[static_cast<std::size_t>(i)].name = name;
                uploads[static_cast<std::size_t>(i)].released = Clock::now();
            }
            file->Close();
        }
        writerDone = true;
    });

    appcore::TUploadWatcher watcher;
    watcher.ScanUploadFolder(uploadDir, false, [&] { return receiveDir; });
    auto nextTick = Clock::now() + std::chrono::milliseconds(1000);
    double longestPassMs = 0;
    for (;;) {
        std::this_thread::sleep_until(nextTick);
        nextTick += std::chrono::milliseconds(1000);
        const auto passStart = Clock::now();
        watcher.TimerTick(uploadDir, [&] { return receiveDir; });
        const auto passEnd = Clock::now();
        longestPassMs = std::max(
            longestPassMs, std::chrono::duration<double, std::milli>(passEnd - passStart).count());

        // The file is in the receiving folder by the end of the pass at the
        // latest, so this overstates the latency by at most the pass time.
        bool all = true;
        const std::lock_guard lock(mutex);
        for (auto& upload : uploads) {
            if (!upload.hasArrived && !upload.name.empty() &&
                std::filesystem::exists(receiveDir + upload.name)) {
                upload.arrived = passEnd;
                upload.hasArrived = true;
            }
            all = all && upload.hasArrived;
        }
        if (all && writerDone) {
            break;
        }
    }
    writer.join();

    std::vector<double> latencies;
    for (const auto& upload : uploads) {
        latencies.push_back(
            std::chrono::duration<double, std::milli>(upload.arrived - upload.released).count());
    }
    std::sort(latencies.begin(), latencies.end());
    const double median =
        latencies.size() % 2 == 1
            ? latencies[latencies.size() / 2]
            : (latencies[latencies.size() / 2 - 1] + latencies[latencies.size() / 2]) / 2;
    std::printf("uploads %zu\n", latencies.size());
    std::printf("latency_median_ms %.1f\n", median);
    std::printf("latency_max_ms %.1f\n", latencies.back());
    std::printf("longest_pass_ms %.2f\n", longestPassMs);
    return 0;
}
