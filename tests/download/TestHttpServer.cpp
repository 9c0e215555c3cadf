#include "TestHttpServer.h"

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <memory>

namespace testsupport {
namespace {

// Hands out raw descriptors so TLS connections can be wrapped by hand.
class DescriptorServer : public QTcpServer {
  public:
    std::vector<qintptr> pending;

  protected:
    void incomingConnection(qintptr descriptor) override { pending.push_back(descriptor); }
};

constexpr int StepMs = 20;

} // namespace

bool Connection::Write(const QByteArray& bytes) {
    if (socket_.state() != QAbstractSocket::ConnectedState)
        return false;
    socket_.write(bytes);
    while (socket_.bytesToWrite() > 0) {
        if (!socket_.waitForBytesWritten(5000))
            return false;
    }
    return true;
}

bool Connection::WaitForClientClose() {
    while (!server_.Stopping()) {
        if (socket_.state() != QAbstractSocket::ConnectedState)
            return true;
        if (socket_.waitForReadyRead(StepMs))
            socket_.readAll();
        else if (socket_.state() != QAbstractSocket::ConnectedState ||
                 socket_.error() == QAbstractSocket::RemoteHostClosedError)
            return true;
    }
    return false;
}

TestHttpServer::TestHttpServer(Handler handler, std::optional<TlsFiles> tls)
    : handler_(std::move(handler)), tls_(std::move(tls)) {
    std::promise<unsigned short> ready;
    auto port = ready.get_future();
    thread_ = std::thread([this, &ready] { Serve(ready); });
    port_ = port.get();
}

TestHttpServer::~TestHttpServer() {
    stop_.store(true);
    thread_.join();
}

std::string TestHttpServer::Url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> TestHttpServer::Targets() const {
    std::lock_guard lock(mutex_);
    return targets_;
}

void TestHttpServer::Serve(std::promise<unsigned short>& ready) {
    DescriptorServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        ready.set_value(0);
        return;
    }
    ready.set_value(server.serverPort());
    while (!stop_.load()) {
        server.waitForNewConnection(StepMs);
        while (!server.pending.empty() && !stop_.load()) {
            const qintptr descriptor = server.pending.front();
            server.pending.erase(server.pending.begin());
            std::unique_ptr<QTcpSocket> socket;
            if (tls_) {
                auto ssl = std::make_unique<QSslSocket>();
                ssl->setSocketDescriptor(descriptor);
                ssl->setLocalCertificateChain(
                    QSslCertificate::fromPath(QString::fromStdString(tls_->certificate)));
                QFile keyFile(QString::fromStdString(tls_->key));
                keyFile.open(QIODevice::ReadOnly);
                ssl->setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
                ssl->startServerEncryption();
                if (!ssl->waitForEncrypted(5000))
                    continue; // the client refused us: nothing to serve
                socket = std::move(ssl);
            } else {
                socket = std::make_unique<QTcpSocket>();
                socket->setSocketDescriptor(descriptor);
            }
            ServeOne(*socket);
        }
    }
}

void TestHttpServer::ServeOne(QTcpSocket& socket) {
    // TLS may already hold the request from the handshake: read first, then wait.
    QByteArray request = socket.readAll();
    while (!request.contains("\r\n\r\n")) {
        if (stop_.load() || !socket.waitForReadyRead(5000))
            return;
        request += socket.readAll();
    }
    const QByteArray line = request.left(request.indexOf("\r\n"));
    const QList<QByteArray> parts = line.split(' ');
    const QByteArray target = parts.size() >= 2 ? parts[1] : QByteArray();
    {
        std::lock_guard lock(mutex_);
        targets_.push_back(target.toStdString());
    }
    Connection connection(socket, *this, target);
    handler_(connection);
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
}

QByteArray ResponseHead(int status, const QByteArray& headers) {
    return "HTTP/1.1 " + QByteArray::number(status) + " Test\r\n" + headers +
           "Connection: close\r\n\r\n";
}

std::optional<TestAuthority> MakeTestAuthority(const std::string& folder) {
    const QString dir = QString::fromStdString(folder) + "/";
    auto run = [](const QStringList& args) {
        QProcess openssl;
        openssl.setStandardErrorFile(QProcess::nullDevice());
        openssl.setStandardOutputFile(QProcess::nullDevice());
        openssl.start("openssl", args);
        return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
               openssl.exitCode() == 0;
    };
    QFile ext(dir + "server.ext");
    if (!ext.open(QIODevice::WriteOnly))
        return std::nullopt;
    ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
              "basicConstraints=CA:FALSE\n"
              "extendedKeyUsage=serverAuth\n");
    ext.close();
    const QStringList ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    if (!run(QStringList{"req", "-x509"} + ec +
             QStringList{"-keyout", dir + "ca.key", "-out", dir + "ca.pem", "-days", "2", "-subj",
                         "/CN=Tessary Test CA", "-batch"}) ||
        !run(QStringList{"req", "-new"} + ec +
             QStringList{"-keyout", dir + "server.key", "-out", dir + "server.csr", "-subj",
                         "/CN=localhost", "-batch"}) ||
        !run({"x509", "-req", "-in", dir + "server.csr", "-CA", dir + "ca.pem", "-CAkey",
              dir + "ca.key", "-CAcreateserial", "-days", "2", "-extfile", dir + "server.ext",
              "-out", dir + "server.pem"}))
        return std::nullopt;
    return TestAuthority{(dir + "ca.pem").toStdString(),
                         {(dir + "server.pem").toStdString(), (dir + "server.key").toStdString()}};
}

} // namespace testsupport
