#pragma once

// Runs the real engine program on a loopback port in a temporary work
// folder, and speaks raw HTTP to it, so tests can send exactly the bytes
// they mean (malformed paths, cut bodies) without a client normalising them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace enginetest {

namespace detail {
class Child;
}

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);
// Deterministic bytes that differ per seed.
std::string Pattern(std::size_t size, unsigned seed);
// Regular files directly in the folder, by name.
std::vector<std::string> FileNames(const std::filesystem::path& folder);

// A copy of the engine program in a folder of its own: an engine of
// another program file, so no other test's engine counts as "earlier".
class EngineCopy {
  public:
    EngineCopy();
    std::filesystem::path Path() const;

  private:
    TempFolder bin_;
};

// A loopback port nothing listens on right now.
std::uint16_t FreePort();

// Gives this test process a mount namespace of its own, so that the small
// disks of StartOptions vanish with it. Empty on success, else why not
// (the caller skips). Call before the engine starts.
std::string EnterPrivateMountNamespace();

struct StartOptions {
    std::uint64_t fileSizeLimit = 0; // RLIMIT_FSIZE for the engine, 0 for none
    // A tmpfs of this many bytes as the whole work folder (staging and web
    // root), 0 for none; needs EnterPrivateMountNamespace first.
    std::uint64_t diskBytes = 0;
    // A tmpfs of this many bytes as the upload folder alone, 0 for none.
    std::uint64_t uploadDiskBytes = 0;
    std::string program; // another engine file (default: the built one)
    std::optional<std::uint16_t> port;
    std::optional<unsigned> timeoutSeconds; // --timeout
    std::optional<unsigned> minReplyRate;   // --min-reply-rate
    std::optional<unsigned> keyBudget;      // --key-budget
};

// The engine program running on 127.0.0.1 in work folder Work(), serving
// Work()/wdoc with page key "abcdef".
class Engine {
  public:
    static constexpr const char* Key = "abcdef";

    explicit Engine(StartOptions options = {});
    // Sends SIGTERM and waits for the process.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    std::uint16_t Port() const { return port_; }
    int Pid() const { return pid_; }
    const std::filesystem::path& Work() const { return work_.Path(); }
    std::filesystem::path WebRoot() const { return Work() / "wdoc"; }
    std::filesystem::path UploadDir() const { return Work() / "wdoc/u/ufiles"; }
    std::filesystem::path Staging() const { return Work() / "staging"; }

    // Starts the engine (again); false when it did not come up.
    bool Start();
    // SIGTERM; returns the exit status and how long the exit took, or
    // nullopt when it did not exit within timeoutMs.
    std::optional<int> Terminate(int timeoutMs, int* elapsedMs = nullptr);
    bool Running() const;
    // Peak resident memory so far, in KiB (VmHWM).
    long PeakRssKiB() const;

  private:
    StartOptions options_;
    TempFolder work_;
    std::uint16_t port_ = 0;
    int pid_ = -1;
    std::unique_ptr<detail::Child> child_;
    // Reaps the process as soon as it ends, so no zombie lingers for a
    // process search to find.
    std::thread reaper_;
    std::atomic<bool> exited_ = false;
    std::atomic<int> status_ = 0;
    std::vector<std::filesystem::path> mounts_;
};

// Looks at condition every 20 ms until it holds or limit has passed. Each
// look counts once: a condition may consume what it sees (a reaped child).
bool Eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(5));

// The path of the built engine, from the build.
std::string EngineProgram();
std::string KillToolProgram();

struct ProgramRun {
    int status = -1;    // the exit status, -1 when it could not be told
    std::string errors; // what it wrote to standard error
};
// Runs an engine program (the built one unless told; not on a port of the
// harness's choosing) in work
// with these arguments until it ends; with stopAfter, asks it to stop then.
ProgramRun RunEngineOnce(const std::filesystem::path& work,
                         const std::vector<std::string>& arguments,
                         std::optional<std::chrono::milliseconds> stopAfter = std::nullopt,
                         const std::string& program = EngineProgram());

// A socket of this test process listening on a free loopback port.
class Listener {
  public:
    Listener();
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    std::uint16_t Port() const { return port_; }

  private:
    std::intptr_t socket_ = -1;
    std::uint16_t port_ = 0;
};

// Whether this system tells how much of what a socket sent its peer has
// taken (the engine cuts replies read too slowly only where it does).
bool SystemTellsBytesDelivered();

struct Reply {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    bool received = false; // a status line arrived at all
};

// A connection to a port on 127.0.0.1.
class Connection {
  public:
    explicit Connection(std::uint16_t port);
    // From another loopback source address ("127.0.0.2"), as another client
    // on the network would come.
    Connection(std::uint16_t port, const std::string& sourceAddress);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    bool IsOpen() const { return fd_ >= 0; }
    bool Send(const std::string& bytes);
    // Reads one reply (by Content-Length, else to the end of the stream).
    Reply Receive(bool headRequest = false, int timeoutMs = 10000);
    // True when the peer closed the connection within timeoutMs.
    bool ClosedByPeer(int timeoutMs);
    // Reads and drops up to most bytes, waiting up to timeoutMs for them:
    // how many, or -1 once the peer has closed.
    int Drop(int most, int timeoutMs);
    void Close();

  private:
    int fd_ = -1;
    std::string pending_;
};

// One request with "Connection: close", the whole reply.
Reply Request(std::uint16_t port, const std::string& method, const std::string& target,
              const std::string& body = {}, const std::vector<std::string>& headers = {});
// Raw bytes as the request.
Reply RawRequest(std::uint16_t port, const std::string& bytes, bool headRequest = false,
                 const char* source = nullptr);
// The "name=value" of the proof cookie a reply set, or "".
std::string SetCookieOf(const Reply& reply);

struct FilePart {
    std::string name;
    std::string content;
    std::string modified = {}; // when set, a "modified" field goes just before
};
// A multipart/form-data body with the given boundary.
std::string MultipartBody(const std::vector<FilePart>& parts, const std::string& boundary);

} // namespace enginetest
