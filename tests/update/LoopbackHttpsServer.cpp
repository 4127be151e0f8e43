#include "LoopbackHttpsServer.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

TestCertificateAuthority::TestCertificateAuthority()
{
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("/bin/sh", {"-ec", "ec='-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes'\n"
                               "openssl req -x509 $ec -keyout ca.key -out ca.pem -days 2 -subj '/CN=Test CA' "
                               "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign\n"
                               "openssl req $ec -keyout leaf.key -out leaf.csr -subj /CN=localhost\n"
                               "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > leaf.ext\n"
                               "openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                               "-out leaf.pem -days 2 -extfile leaf.ext"});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        error = QString::fromLocal8Bit(p.readAll());
        return;
    }
    const auto read = [this](const char *name) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    ca = QSslCertificate(read("ca.pem"));
    leaf = QSslCertificate(read("leaf.pem"));
    key = QSslKey(read("leaf.key"), QSsl::Ec);
}

void TestCertificateAuthority::trust() const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificate(ca);
    QSslConfiguration::setDefaultConfiguration(config);
}

LoopbackHttpsServer::LoopbackHttpsServer(const TestCertificateAuthority *authority) : m_authority(authority)
{
    listen(QHostAddress::LocalHost, 0);
}

QUrl LoopbackHttpsServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("%1://localhost:%2%3").arg(m_authority ? "https" : "http").arg(serverPort()).arg(path));
}

void LoopbackHttpsServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_authority ? new QSslSocket(this) : new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
        ssl->setLocalCertificate(m_authority->leaf);
        ssl->setPrivateKey(m_authority->key);
        ssl->startServerEncryption();
    }
    auto *buffer = new QByteArray;
    connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] { answer(socket, buffer); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void LoopbackHttpsServer::answer(QTcpSocket *socket, QByteArray *buffer)
{
    *buffer += socket->readAll();
    const qsizetype end = buffer->indexOf("\r\n\r\n");
    if (end < 0)
        return;
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    const QList<QByteArray> lines = buffer->left(end).split('\n');
    Request request{lines[0].split(' ').value(1), {}};
    for (const QByteArray &line : lines.mid(1))
        if (const qsizetype colon = line.indexOf(':'); colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    requests.append(request);
    const Answer a = handler ? handler(request) : Answer{response(404, {})};
    if (a.hold) {
        m_held.append(socket);
    } else if (a.stallAfter >= 0) {
        socket->write(a.bytes.left(a.stallAfter));
    } else if (a.trickleMs > 0) {
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, timer, rest = a.bytes]() mutable {
            if (rest.isEmpty())
                return timer->stop(), socket->disconnectFromHost();
            socket->write(rest.left(1));
            rest.remove(0, 1);
        });
        timer->start(a.trickleMs);
    } else {
        socket->write(a.bytes);
        socket->disconnectFromHost();
    }
}

qsizetype LoopbackHttpsServer::heldOpen() const
{
    return std::count_if(m_held.begin(), m_held.end(), [](const QPointer<QTcpSocket> &s) {
        return s && s->state() == QAbstractSocket::ConnectedState;
    });
}

void LoopbackHttpsServer::release(const QByteArray &bytes)
{
    for (const auto &socket : std::exchange(m_held, {}))
        if (socket)
            socket->write(bytes), socket->disconnectFromHost();
}

QByteArray LoopbackHttpsServer::response(int status, const QByteArray &body, const QByteArray &extraHeaders)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Status\r\nConnection: close\r\n" + extraHeaders
           + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray LoopbackHttpsServer::feed(qint64 build, const QString &url, const QString &extra)
{
    return QStringLiteral("{\"version\": \"2.0\", \"build\": %1, \"url\": \"%2\", \"sha256\": \"%3\"%4}")
        .arg(build)
        .arg(url, QString(64, u'a'), extra.isEmpty() ? QString() : ", " + extra)
        .toUtf8();
}
