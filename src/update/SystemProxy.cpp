#include "update/SystemProxy.h"

#include "platform/Bundle.h"

#include <QMutex>
#include <QProcess>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

QMutex programLock;
QString programOverride;

QString program()
{
    const QMutexLocker guard(&programLock);
    return programOverride.isEmpty() ? Bundle::main().helperProgram(QStringLiteral("ferrowhistle-proxy")) : programOverride;
}

// libproxy's schemes and libcurl's; a SOCKS proxy resolves names itself, as
// it would for any other client of the desktop's settings.
struct Scheme {
    const char *libproxy;
    const char *curl;
    int defaultPort;
};
constexpr Scheme kSchemes[] = {
    {"http", "http", 80},       {"https", "https", 443},    {"socks", "socks5h", 1080},  {"socks5", "socks5h", 1080},
    {"socks4", "socks4a", 1080}, {"socks4a", "socks4a", 1080}, {"socks5h", "socks5h", 1080},
};

} // namespace

std::optional<SystemProxy::Choice> SystemProxy::fromAnswer(const QByteArray &answer)
{
    bool namedAny = false;
    for (const QByteArray &raw : answer.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty())
            continue;
        namedAny = true;
        const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (scheme == QLatin1String("direct"))
            return Choice{};
        const auto known = std::find_if(std::begin(kSchemes), std::end(kSchemes),
                                        [&scheme](const Scheme &s) { return scheme == QLatin1String(s.libproxy); });
        if (known == std::end(kSchemes) || !url.isValid() || url.host().isEmpty())
            continue; // one libcurl can't use; libproxy's next choice may do
        QUrl address;
        address.setScheme(QLatin1String(known->curl));
        address.setHost(url.host());
        // libcurl's own default port is 1080 whatever the scheme.
        address.setPort(url.port(known->defaultPort));
        return Choice{address.toEncoded(), url.userName().toUtf8(), url.password().toUtf8()};
    }
    // Only proxies libcurl can't use: the desktop still named no proxy for
    // this address, and Qt does the same with such a list.
    return namedAny ? std::optional<Choice>(Choice{}) : std::nullopt;
}

std::optional<SystemProxy::Choice> SystemProxy::ask(const QUrl &url, std::chrono::milliseconds limit,
                                                    const std::function<bool()> &stopped)
{
    QProcess helper;
    helper.setStandardInputFile(QProcess::nullDevice());
    helper.setStandardErrorFile(QProcess::nullDevice());
    helper.start(program(), {QString::fromUtf8(url.toEncoded(QUrl::RemoveUserInfo))});
    if (!helper.waitForStarted(int(limit.count())))
        return std::nullopt;
    // In short steps, so that a stopped transfer doesn't wait for a PAC
    // file or WPAD lookup to finish.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!helper.waitForFinished(100)) {
        if (helper.state() == QProcess::NotRunning)
            break;
        if (stopped() || std::chrono::steady_clock::now() >= deadline) {
            helper.kill();
            helper.waitForFinished(-1);
            return std::nullopt;
        }
    }
    if (helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0)
        return std::nullopt;
    return fromAnswer(helper.readAllStandardOutput());
}

void SystemProxy::useProgram(const QString &path)
{
    const QMutexLocker guard(&programLock);
    programOverride = path;
}
