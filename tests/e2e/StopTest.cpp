// The real program, stopped the ways a desktop stops programs: a stop signal
// (log-out, shutdown, `kill`), also while its update check waits, and a kill
// it cannot handle. Run inside a network namespace of its own
// (netns-run.sh), where its engine may listen on port 8016.

#include "ProcessSupport.h"
#include "platform/platform.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::Eventually;
using testsupport::Listens;
using testsupport::ReadFile;

namespace {

constexpr std::uint16_t EnginePort = 8016;

// A proxy on a loopback port that takes the update check's connection and
// never answers, so the check waits until it is cancelled.
class SilentProxy {
  public:
    SilentProxy() = default;
    ~SilentProxy() {
        for (const int client : clients_) {
            close(client);
        }
    }
    SilentProxy(const SilentProxy&) = delete;
    SilentProxy& operator=(const SilentProxy&) = delete;
    std::uint16_t Port() const { return listener_.Port(); }

    // Waits for a request and returns its first line ("" when none came).
    std::string AwaitRequest(std::chrono::milliseconds limit) {
        pollfd listener{listener_.Fd(), POLLIN, 0};
        if (poll(&listener, 1, static_cast<int>(limit.count())) != 1) {
            return {};
        }
        const int client = accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return {};
        }
        clients_.push_back(client);
        std::string request;
        char buffer[512];
        pollfd readable{client, POLLIN, 0};
        while (request.find("\r\n") == std::string::npos &&
               poll(&readable, 1, static_cast<int>(limit.count())) == 1) {
            const ssize_t got = read(client, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            request.append(buffer, static_cast<std::size_t>(got));
        }
        return request.substr(0, request.find("\r\n"));
    }

  private:
    testsupport::LoopbackListener listener_;
    std::vector<int> clients_;
};

// The program as the user has it installed: its engine in the work folder
// of a home of its own, started with the environment of a desktop session.
class Program {
  public:
    explicit Program(const std::vector<std::string>& extraEnvironment = {}) {
        fs::create_directories(WorkDir());
        fs::create_directories(home_ / "tmp");
        fs::copy_file(TESSARY_ENGINE, Engine());
        std::vector<std::string> environment = {
            "HOME=" + home_.string(),
            "XDG_DATA_HOME=" + (home_ / "data").string(),
            "XDG_CONFIG_HOME=" + (home_ / "config").string(),
            "TMPDIR=" + (home_ / "tmp").string(),
            "PATH=/usr/bin:/bin",
            "LANG=C.UTF-8",
        };
        for (const char* name : {"QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"}) {
            if (const char* value = std::getenv(name)) {
                environment.push_back(std::string(name) + "=" + value);
            }
        }
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            execle(TESSARY_PROGRAM, TESSARY_PROGRAM, static_cast<char*>(nullptr), envp.data());
            _exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (const int engine : Engines()) {
            kill(engine, SIGKILL);
        }
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    int Pid() const { return pid_; }
    fs::path WorkDir() const { return home_ / "data/Tessary"; }
    fs::path Engine() const { return WorkDir() / "TessaryEngine"; }
    std::vector<int> Engines() const {
        return platform::ProcessIds(
            platform::FindProcessesOfProgram(Engine().string(), platform::CurrentUserId()));
    }
    // This run's pages (the engine's working folder holds the web root).
    std::vector<fs::path> Pages() const {
        std::vector<fs::path> pages;
        for (const char* folder : {"wdoc/u", "wdoc/d"}) {
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(WorkDir() / folder, error)) {
                if (entry.is_regular_file() && entry.path().filename() != "index.html") {
                    pages.push_back(entry.path());
                }
            }
        }
        return pages;
    }

    // Up once its engine serves port 8016 and its pages are written.
    bool Up() {
        return Eventually([&] { return Listens(EnginePort) && Engines().size() == 1; }, 20s) &&
               !Pages().empty();
    }
    // The exit status once it has ended within limit, else nullopt.
    std::optional<int> Exited(std::chrono::milliseconds limit) {
        const auto status = testsupport::WaitForExit(pid_, limit);
        exited_ = status.has_value();
        return status;
    }

  private:
    fs::path home_ = [] {
        std::string pattern = (fs::temp_directory_path() / "tessary-stop-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        return fs::path(pattern);
    }();
    pid_t pid_ = -1;
    bool exited_ = false;
};

// After a stop sent at the moment sent: the program, its engine and this
// run's pages are gone within 3 s, and the port is free again.
void ExpectStoppedCleanly(Program& program, const std::vector<fs::path>& pages,
                          std::chrono::steady_clock::time_point sent) {
    const auto left = [sent] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            sent + 3s - std::chrono::steady_clock::now());
    };
    const auto status = program.Exited(left());
    ASSERT_TRUE(status) << "the program did not exit within 3 s";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(Eventually([&] { return program.Engines().empty(); }, left()))
        << "its engine still runs 3 s later";
    EXPECT_FALSE(Listens(EnginePort));
    for (const fs::path& page : pages) {
        EXPECT_FALSE(fs::exists(page)) << page;
    }
}

} // namespace

TEST(Stop, StopSignalsCloseTheProgramAsItsCloseTileDoes) {
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        Program program;
        ASSERT_TRUE(program.Up());
        const std::vector<fs::path> pages = program.Pages();
        // Programs the window starts get the environment it was started with.
        const auto engines = program.Engines();
        ASSERT_EQ(engines.size(), 1u);
        const std::string environ =
            ReadFile("/proc/" + std::to_string(engines.front()) + "/environ");
        EXPECT_NE(environ.find("XDG_DATA_HOME="), std::string::npos);
        EXPECT_EQ(environ.find("QT_ENABLE_HIGHDPI_SCALING"), std::string::npos);

        const auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(kill(program.Pid(), number), 0);
        ExpectStoppedCleanly(program, pages, sent);
    }
}

TEST(Stop, AStopSignalEndsTheUpdateChecksWait) {
    SilentProxy proxy;
    const std::string address = "http://127.0.0.1:" + std::to_string(proxy.Port());
    Program program({"https_proxy=" + address, "HTTPS_PROXY=" + address});
    ASSERT_TRUE(program.Up());
    const std::vector<fs::path> pages = program.Pages();
    // The check is now waiting for an answer that never comes.
    EXPECT_NE(proxy.AwaitRequest(20s).find("CONNECT update.tessary.example:443"),
              std::string::npos);

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(program.Pid(), SIGTERM), 0);
    ExpectStoppedCleanly(program, pages, sent);
}

TEST(Stop, TheEngineNeverOutlivesAKilledProgram) {
    Program program;
    ASSERT_TRUE(program.Up());
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(program.Pid(), SIGKILL), 0);
    ASSERT_TRUE(program.Exited(3s));
    EXPECT_TRUE(Eventually([&] { return program.Engines().empty(); },
                           std::chrono::duration_cast<std::chrono::milliseconds>(
                               sent + 3s - std::chrono::steady_clock::now())))
        << "an engine of the work folder still runs 3 s later";
    EXPECT_FALSE(Listens(EnginePort));
}
