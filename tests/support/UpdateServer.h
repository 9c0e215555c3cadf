#pragma once

// An update service on a loopback port for the window tests: it records the
// target of every request, and answers with a fixed reply or holds the
// request without answering.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <map>
#include <string>

class TUpdateServer : public QObject {
  public:
    // An empty reply holds every request: the check waits until it is cancelled.
    explicit TUpdateServer(QByteArray reply) : reply_(std::move(reply)) {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
            }
        });
    }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(server_.serverPort()); }

    // Connections accepted, complete requests by their target.
    int connections = 0;
    QStringList targets;

  private:
    void Read(QTcpSocket* socket) {
        QByteArray& request = pending_[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        targets << QString::fromLatin1(request.split(' ').value(1));
        if (reply_.isEmpty())
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                      "Content-Length: " +
                      QByteArray::number(reply_.size()) + "\r\n\r\n" + reply_);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    QByteArray reply_;
    std::map<QTcpSocket*, QByteArray> pending_;
};
