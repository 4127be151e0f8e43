#include "AppUnderUpdate.h"

#include "intent/BusNames.h"
#include "platform/DefaultsStore.h"
#include "release/UpdaterDefaults.h"
#include "update/ReleaseFeed.h"
#include "update/Updater.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

AppUnderUpdate::AppUnderUpdate(const QString &root, const QString &home, const TestCertificateAuthority &ca)
    : m_root(root), m_home(home)
{
    const QString busRoot = home + QStringLiteral("-bus");
    QDir().mkpath(busRoot);
    m_bus = std::make_unique<PrivateBus>(busRoot, busRoot + QStringLiteral("/services"));
    if (!m_bus->isRunning()) {
        error = QStringLiteral("no private bus");
        return;
    }
    environment = m_bus->environment();
    environment.insert(QStringLiteral("HOME"), home);
    m_logFile = home + QStringLiteral("-stderr.log");
    QFile::remove(m_logFile);

    // The relaunched processes inherit the mount namespace, where the
    // system's certificate file is not: the folder holds the authority
    // under its hashed name.
    const QString caFile = root + QStringLiteral("/loopback-ca.pem");
    QFile out(caFile);
    if (!out.open(QIODevice::WriteOnly) || out.write(ca.ca.toPem()) < 0) {
        error = QStringLiteral("can't write ") + caFile;
        return;
    }
    out.close();
    m_certs = root + QStringLiteral("/certs");
    QDir().mkpath(m_certs);
    QProcess hash;
    hash.start(QStringLiteral("openssl"), {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout"),
                                           QStringLiteral("-in"), caFile});
    if (!hash.waitForFinished() || hash.exitCode() != 0) {
        error = QStringLiteral("openssl x509 -hash failed");
        return;
    }
    const QString hashed = m_certs + u'/' + QString::fromLatin1(hash.readAll().trimmed()) + QStringLiteral(".0");
    if (!QFileInfo::exists(hashed) && !QFile::copy(caFile, hashed))
        error = QStringLiteral("can't copy the authority");
}

AppUnderUpdate::~AppUnderUpdate()
{
    if (m_bus)
        m_bus->stopApp();
    m_app.kill();
    m_app.waitForFinished();
}

void AppUnderUpdate::serve(LoopbackHttpsServer &server, const QByteArray &feed, const QByteArray &zip)
{
    server.handler = [feed, zip](const LoopbackHttpsServer::Request &r) {
        return LoopbackHttpsServer::Answer{r.path.endsWith(".zip") ? LoopbackHttpsServer::response(200, zip)
                                                                   : LoopbackHttpsServer::response(200, feed)};
    };
    const DefaultsStore settings = DefaultsStore::standard();
    settings.setValue(ReleaseFeed::kFeedURLKey, server.url(QStringLiteral("/appcast.json")).toString());
    settings.setValue(Updater::kAutomaticCheckKey, false);
    // What an earlier case of the same test process marked.
    settings.remove(UpdaterDefaults::failedBuildsKey());
    settings.remove(UpdaterDefaults::revertedBuildsKey());
    settings.remove(UpdaterDefaults::rolledBackKey());
}

bool AppUnderUpdate::start(const QString &bundlePath)
{
    m_app.setProcessEnvironment(environment);
    m_app.setProcessChannelMode(QProcess::ForwardedChannels);
    m_app.start(QStringLiteral("unshare"),
                {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("/bin/sh"),
                 QStringLiteral("-c"), QStringLiteral("mount --bind \"$1\" /etc/ssl/certs && exec \"$0\" 2>>\"$2\""),
                 bundlePath + QStringLiteral("/Contents/bin/Ferrowhistle"), m_certs, m_logFile});
    if (!m_bus->waitForApp(true))
        return false;
    m_firstPid = m_bus->appPid();
    return true;
}

QDBusMessage AppUnderUpdate::action(const QString &name)
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                    BusNames::applicationInterface(), QStringLiteral("ActivateAction"));
    m.setArguments({name, QVariant::fromValue(QVariantList()), QVariant::fromValue(QVariantMap())});
    return m_bus->connection().call(m);
}

QStringList AppUnderUpdate::log() const
{
    QFile f(m_logFile);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("Ferrowhistle: "))
            lines << QString::fromUtf8(line.mid(14));
    return lines;
}

bool AppUnderUpdate::watchRuns(const QString &bundlePath)
{
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> args = cmdline.readAll().split('\0');
        if (args.size() > 2 && args.at(1) == "--watch-start" && args.at(2) == QFile::encodeName(bundlePath))
            return true;
    }
    return false;
}

QByteArray feedFor(const LoopbackHttpsServer &server, const QString &version, qint64 build, const QByteArray &zip)
{
    QJsonObject record;
    record[QStringLiteral("version")] = version;
    record[QStringLiteral("build")] = build;
    record[QStringLiteral("url")] = server.url(QStringLiteral("/Ferrowhistle-%1.zip").arg(build)).toString();
    record[QStringLiteral("sha256")] = QString::fromLatin1(QCryptographicHash::hash(zip, QCryptographicHash::Sha256).toHex());
    return QJsonDocument(record).toJson();
}
