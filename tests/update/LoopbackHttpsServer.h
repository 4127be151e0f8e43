#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>

class QSslSocket;
class QTcpSocket;

// A certificate authority made for one test run with the openssl command, and
// a leaf for localhost and 127.0.0.1 signed by it. trustInProcess() adds the
// authority to Qt's default TLS configuration, so the updater's real session
// accepts the test server and nothing else changes.
class TestCertificateAuthority {
public:
    TestCertificateAuthority();
    bool isValid() const { return !m_ca.isNull() && !m_leaf.isNull() && !m_key.isNull(); }
    QSslCertificate caCertificate() const { return m_ca; }
    QSslCertificate leafCertificate() const { return m_leaf; }
    QSslKey leafKey() const { return m_key; }
    void trustInProcess() const;
    QString error() const { return m_error; }

private:
    QTemporaryDir m_dir;
    QSslCertificate m_ca;
    QSslCertificate m_leaf;
    QSslKey m_key;
    QString m_error;
};

// One HTTP/1.1 server on 127.0.0.1, over TLS or plain. Every connection reads
// one request and gets the answer the handler chooses, then is closed.
class LoopbackHttpsServer final : public QTcpServer {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };
    struct Answer {
        QByteArray bytes;        // sent as they are: status line, headers, body
        bool hold = false;       // keep the connection open and send nothing until release()
        int trickleMs = 0;       // >0: send one byte per interval
    };
    using Handler = std::function<Answer(const Request &)>;

    // A null authority serves plain HTTP.
    explicit LoopbackHttpsServer(const TestCertificateAuthority *authority, QObject *parent = nullptr);
    ~LoopbackHttpsServer() override;

    void setHandler(Handler handler) { m_handler = std::move(handler); }
    QUrl url(const QString &path) const;
    QList<Request> requests() const { return m_requests; }
    // Sends bytes on every held connection and closes it.
    void release(const QByteArray &bytes);
    int heldCount() const { return m_held.size(); }

    // A complete response with Content-Length.
    static QByteArray response(int status, const QByteArray &body, const QList<QByteArray> &extraHeaders = {});
    // A body for the feed.
    static QByteArray releaseJson(qint64 build, const QString &version = QStringLiteral("2.0"),
                                  const QString &url = QStringLiteral("https://example.invalid/Ferrowhistle.zip"),
                                  const QString &extra = QString());

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void onReadyRead(QTcpSocket *socket);
    void send(QTcpSocket *socket, const Answer &answer);

    const TestCertificateAuthority *m_authority;
    Handler m_handler;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QPointer<QTcpSocket>> m_held;
};
