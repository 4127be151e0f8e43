#include "LoopbackHttpsServer.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

namespace {

bool runOpenssl(const QStringList &arguments, const QString &workDir, QString *error)
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2").arg(arguments.join(u' '), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TestCertificateAuthority::TestCertificateAuthority()
{
    const QString d = m_dir.path();
    QFile ext(d + QStringLiteral("/leaf.ext"));
    if (!ext.open(QIODevice::WriteOnly))
        return;
    ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    ext.close();
    const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes")};
    if (!runOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
                        + QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                                      QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                                      QStringLiteral("-subj"), QStringLiteral("/CN=Ferrowhistle Test CA"),
                                      QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                      QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
                    d, &m_error))
        return;
    if (!runOpenssl(QStringList{QStringLiteral("req")} + ec
                        + QStringList{QStringLiteral("-keyout"), QStringLiteral("leaf.key"), QStringLiteral("-out"),
                                      QStringLiteral("leaf.csr"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost")},
                    d, &m_error))
        return;
    if (!runOpenssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), QStringLiteral("leaf.csr"),
                     QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                     QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), QStringLiteral("leaf.pem"),
                     QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), QStringLiteral("leaf.ext")},
                    d, &m_error))
        return;
    m_ca = QSslCertificate(readFile(d + QStringLiteral("/ca.pem")));
    m_leaf = QSslCertificate(readFile(d + QStringLiteral("/leaf.pem")));
    m_key = QSslKey(readFile(d + QStringLiteral("/leaf.key")), QSsl::Ec);
}

void TestCertificateAuthority::trustInProcess() const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificate(m_ca);
    QSslConfiguration::setDefaultConfiguration(config);
}

LoopbackHttpsServer::LoopbackHttpsServer(const TestCertificateAuthority *authority, QObject *parent)
    : QTcpServer(parent), m_authority(authority)
{
    listen(QHostAddress::LocalHost, 0);
}

LoopbackHttpsServer::~LoopbackHttpsServer()
{
    for (const auto &s : std::as_const(m_held))
        if (s)
            s->abort();
}

QUrl LoopbackHttpsServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("%1://localhost:%2%3")
                    .arg(m_authority ? QStringLiteral("https") : QStringLiteral("http"))
                    .arg(serverPort())
                    .arg(path));
}

void LoopbackHttpsServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = nullptr;
    if (m_authority) {
        auto *ssl = new QSslSocket(this);
        ssl->setSocketDescriptor(descriptor);
        ssl->setLocalCertificate(m_authority->leafCertificate());
        ssl->setPrivateKey(m_authority->leafKey());
        ssl->startServerEncryption();
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
    }
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this, socket] { m_buffers.remove(socket); });
}

void LoopbackHttpsServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    Request request;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.path = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
    }
    buffer.clear();
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    m_requests.append(request);
    const Answer answer = m_handler ? m_handler(request) : Answer{response(404, "not found"), false, 0};
    send(socket, answer);
}

void LoopbackHttpsServer::send(QTcpSocket *socket, const Answer &answer)
{
    if (answer.hold) {
        m_held.append(socket);
        return;
    }
    if (answer.trickleMs > 0) {
        auto *timer = new QTimer(socket);
        auto remaining = std::make_shared<QByteArray>(answer.bytes);
        connect(timer, &QTimer::timeout, socket, [socket, timer, remaining] {
            if (remaining->isEmpty()) {
                timer->stop();
                socket->disconnectFromHost();
                return;
            }
            socket->write(remaining->left(1));
            remaining->remove(0, 1);
        });
        timer->start(answer.trickleMs);
        return;
    }
    socket->write(answer.bytes);
    socket->disconnectFromHost();
}

void LoopbackHttpsServer::release(const QByteArray &bytes)
{
    const auto held = m_held;
    m_held.clear();
    for (const auto &s : held) {
        if (!s)
            continue;
        s->write(bytes);
        s->disconnectFromHost();
    }
}

QByteArray LoopbackHttpsServer::response(int status, const QByteArray &body, const QList<QByteArray> &extraHeaders)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    out += "Content-Type: application/json\r\nConnection: close\r\n";
    for (const QByteArray &h : extraHeaders)
        out += h + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    return out + body;
}

QByteArray LoopbackHttpsServer::releaseJson(qint64 build, const QString &version, const QString &url, const QString &extra)
{
    return QStringLiteral("{\"version\": \"%1\", \"build\": %2, \"url\": \"%3\", \"sha256\": \"%4\"%5}")
        .arg(version)
        .arg(build)
        .arg(url, QString(64, u'a'), extra.isEmpty() ? QString() : QStringLiteral(", ") + extra)
        .toUtf8();
}
