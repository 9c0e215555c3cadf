#pragma once

// A small HTTP/1.1 server for tests, on its own thread, bound to an ephemeral
// loopback port and stopped when it goes out of scope. Each connection is
// served by a handler that writes the raw response, so tests control every
// header and can stall mid-body. With a certificate and key it speaks TLS.

#include <QByteArray>
#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class QTcpSocket;

namespace testsupport {

class TestHttpServer;

// One accepted connection, as a handler sees it.
class Connection {
  public:
    Connection(QTcpSocket& socket, const TestHttpServer& server, QByteArray target)
        : socket_(socket), server_(server), target_(std::move(target)) {}
    // The request target ("/path?query").
    const QByteArray& Target() const { return target_; }
    // Writes and flushes; false once the client has gone.
    bool Write(const QByteArray& bytes);
    // Waits until the client closes the connection or the server stops;
    // true when the client closed it.
    bool WaitForClientClose();

  private:
    QTcpSocket& socket_;
    const TestHttpServer& server_;
    QByteArray target_;
};

struct TlsFiles {
    std::string certificate; // PEM chain of the server
    std::string key;         // PEM private key
};

class TestHttpServer {
  public:
    using Handler = std::function<void(Connection&)>;

    explicit TestHttpServer(Handler handler, std::optional<TlsFiles> tls = std::nullopt);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    unsigned short Port() const { return port_; }
    // "http://127.0.0.1:<port>" (or https) followed by path.
    std::string Url(const std::string& path) const;
    // The targets of the requests served so far.
    std::vector<std::string> Targets() const;
    bool Stopping() const { return stop_.load(); }

  private:
    void Serve(std::promise<unsigned short>& ready);
    void ServeOne(QTcpSocket& socket);

    Handler handler_;
    std::optional<TlsFiles> tls_;
    std::atomic<bool> stop_{false};
    unsigned short port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> targets_;
    std::thread thread_;
};

// A response head for status with the given extra header lines (each ending
// in CR LF), closing the connection after the body.
QByteArray ResponseHead(int status, const QByteArray& headers = {});

// A fresh certificate authority and a server certificate for 127.0.0.1 and
// localhost signed by it, made with the openssl tool in folder.
struct TestAuthority {
    std::string caCertificate;
    TlsFiles server;
};
std::optional<TestAuthority> MakeTestAuthority(const std::string& folder);

} // namespace testsupport
