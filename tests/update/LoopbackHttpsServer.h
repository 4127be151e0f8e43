#pragma once

#include <QHash>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>

class QTcpSocket;

// A CA made for this test run with the openssl command, and a leaf for
// localhost signed by it. trust() adds the CA to Qt's default TLS
// configuration, so the updater's real session accepts the test server.
struct TestCertificateAuthority {
    TestCertificateAuthority();
    void trust() const;
    QTemporaryDir dir;
    QSslCertificate ca, leaf;
    QSslKey key;
    QString error;
};

// HTTP/1.1 on 127.0.0.1, over TLS unless the authority is null. Each
// connection reads one request and gets the handler's answer.
class LoopbackHttpsServer final : public QTcpServer {
    Q_OBJECT
public:
    struct Request {
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };
    struct Answer {
        QByteArray bytes;  // status line, headers and body, sent as they are
        bool hold = false; // send nothing until release()
        int trickleMs = 0; // >0: one byte per interval
        qsizetype stallAfter = -1; // >=0: that many bytes, then silence on an open connection
    };
    std::function<Answer(const Request &)> handler;
    QList<Request> requests;

    explicit LoopbackHttpsServer(const TestCertificateAuthority *authority);
    QUrl url(const QString &path) const;
    void serve(const QByteArray &bytes) { handler = [bytes](const Request &) { return Answer{bytes}; }; }
    void release(const QByteArray &bytes);
    qsizetype heldCount() const { return m_held.size(); }
    // Held connections the client has not closed yet.
    qsizetype heldOpen() const;

    static QByteArray response(int status, const QByteArray &body, const QByteArray &extraHeaders = {});
    static QByteArray feed(qint64 build, const QString &url = QStringLiteral("https://dl.example.org/F.zip"),
                           const QString &extra = {});

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void answer(QTcpSocket *socket, QByteArray *buffer);
    const TestCertificateAuthority *m_authority;
    QList<QPointer<QTcpSocket>> m_held;
};
