#pragma once

// The HTTP side of the engine: serves the web root and takes uploads into an
// UploadStore. Keeps the HTTP library out of every other file.

#include "engine/KeyGuard.h"
#include "engine/UploadStore.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace engine {

struct ServerConfig {
    std::string pageKey;
    std::string webRoot;    // canonical, ending in "/"
    std::string stagingDir; // canonical, ending in "/"; never served
    std::uint16_t port = 8016;
    std::uint32_t bindAddress = 0; // IPv4, host byte order; 0 = every interface
    unsigned threads = 4;
    // A connection with no byte for this long inside a request is closed.
    unsigned connectionTimeoutSeconds = 60;
    // A connection that is not inside a request (idle, or trickling a
    // request line and headers) is closed after this long; so is one whose
    // request body brought less than a kilobyte in this long.
    unsigned requestStartSeconds = 20;
    // A reply must be taken in at this rate, counted over requestStartSeconds:
    // 256 bytes a second, 5 KiB in 20 s, is far below a phone on a poor
    // Wi-Fi, while a client that reads nothing holds its connection no
    // longer. (A browser that pauses a video and stops reading asks again
    // with a Range.)
    std::uint64_t minReplyBytesPerSecond = 256;
    // The cookie value that proves a browser loaded this run's download
    // page: random, and not the key itself.
    std::string proofToken;
    // Host names this PC answers to besides IP literals and "localhost".
    std::vector<std::string> ownHostNames;
    KeyGuard::Limits keyLimits;
};

class HttpServer {
  public:
    HttpServer(ServerConfig config, UploadStore& store);
    // Stops the server if it runs.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts listening and serving on the server's own threads. False, with
    // the reason in error, when the port cannot be had.
    bool Start(std::string& error);
    // Stops accepting, ends every connection (uploads in progress are
    // aborted) and waits for the server threads.
    void Stop();
    // The port in use (useful when it was chosen by the system).
    std::uint16_t Port() const;
    // Closes connections that have spent requestStartSeconds outside a
    // request, and those whose request body stalls; call about once a second.
    void CloseStalledConnections();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace engine
