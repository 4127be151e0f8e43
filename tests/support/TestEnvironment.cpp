#include "support/TestEnvironment.h"

#include "platform/DefaultsWriter.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <unistd.h>

TestEnvironment::TestEnvironment()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("tmp"));
    QDir(m_dir.path()).mkpath(QStringLiteral("config"));
    QDir(m_dir.path()).mkpath(QStringLiteral("cache"));
    QDir(m_dir.path()).mkpath(QStringLiteral("data"));
    qputenv("TMPDIR", tmpDir().toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_dir.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_CACHE_HOME", (m_dir.path() + QStringLiteral("/cache")).toUtf8());
    qputenv("XDG_DATA_HOME", (m_dir.path() + QStringLiteral("/data")).toUtf8());
}

TestEnvironment::~TestEnvironment() { DefaultsWriter::shared().finish(); }

QString TestEnvironment::debugLogFile() const
{
    return tmpDir() + QStringLiteral("/ferrowhistle-") + QString::number(geteuid())
           + QStringLiteral("/ferrowhistle-debug.log");
}

void TestEnvironment::clearDebugLog() const
{
    QFile::remove(debugLogFile());
}

bool splitLogLine(const QString &line, QString *timestamp, QString *text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ) (.*)$"),
                                       QRegularExpression::DotMatchesEverythingOption);
    const auto m = re.match(line);
    if (!m.hasMatch())
        return false;
    if (timestamp)
        *timestamp = m.captured(1);
    if (text)
        *text = m.captured(2);
    return true;
}

QStringList TestEnvironment::debugLogMessages() const
{
    QFile f(debugLogFile());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out;
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        QString text;
        if (splitLogLine(line, nullptr, &text))
            out.append(text);
        else if (!out.isEmpty())
            out.last() += QLatin1Char('\n') + line; // a message spread over lines
    }
    if (!out.isEmpty() && out.last().endsWith(QLatin1Char('\n')))
        out.last().chop(1);
    return out;
}
