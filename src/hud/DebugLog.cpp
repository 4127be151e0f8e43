#include "hud/DebugLog.h"

#include "platform/FileIO.h"
#include "platform/TempDirectory.h"
#include "platform/UniqueFd.h"

#include <QFile>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString debugLogPath()
{
    const QString dir = temporaryDirectory();
    if (dir.isEmpty())
        return {};
    return dir + QStringLiteral("/ferrowhistle-debug.log");
}

void debugLog(const QString &text)
{
    const QString path = debugLogPath();
    if (path.isEmpty())
        return;
    // The UTC time as Qt's ISO date would print it, without QDateTime's
    // formatting, which cost more than the rest of the line.
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm utc {};
    if (gmtime_r(&now, &utc))
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    QByteArray line(stamp);
    line += ' ';
    line += text.toUtf8();
    line += '\n';

    const QByteArray native = QFile::encodeName(path);
    // O_NOFOLLOW and 0600: nobody else can point the log elsewhere or read it.
    // O_NONBLOCK keeps a FIFO planted under the name from hanging us.
    auto open = [&native] {
        return UniqueFd(::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                               0600));
    };
    UniqueFd fd = open();
    if (!fd)
        return;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (st.st_size > kDebugLogRotateBytes) {
        // Another process may have rotated it a moment ago; either way the
        // line goes into a file under the log's name.
        ::rename(native.constData(), (native + ".1").constData());
        fd = open();
        if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
    }
    writeAll(fd.get(), line.constData(), size_t(line.size())); // a lost log line is not worth more
}

QString loggedMessage(const QString &message)
{
    if (message.size() <= kLoggedMessageChars)
        return message;
    // Counted in characters (code points), and never cut inside a pair.
    qsizetype cut = 0;
    qsizetype kept = 0;
    while (cut < message.size() && kept < kLoggedMessageChars) {
        cut += message.at(cut).isHighSurrogate() && cut + 1 < message.size() && message.at(cut + 1).isLowSurrogate() ? 2 : 1;
        ++kept;
    }
    if (cut == message.size())
        return message;
    qsizetype rest = 0;
    for (qsizetype i = cut; i < message.size(); ++i)
        rest += message.at(i).isLowSurrogate() && i > cut && message.at(i - 1).isHighSurrogate() ? 0 : 1;
    return message.left(cut) + QStringLiteral(" \u2026 (%1 more characters)").arg(rest);
}

QString describeNumber(double value)
{
    QString s = QString::number(value, 'g', 15);
    if (!s.contains(QLatin1Char('.')) && !s.contains(QLatin1Char('e')) && !s.contains(QLatin1String("inf"))
        && !s.contains(QLatin1String("nan")))
        s += QStringLiteral(".0");
    return s;
}

QString describeRect(double x, double y, double width, double height)
{
    return QStringLiteral("(%1, %2, %3, %4)")
        .arg(describeNumber(x), describeNumber(y), describeNumber(width), describeNumber(height));
}
