#include "DisplayArguments.h"

#include "hud/HUDPosition.h"

#include <QLocale>

#include <cmath>

namespace {

DisplayArguments usageError(const QString &why)
{
    DisplayArguments a;
    a.result = DisplayArguments::Result::UsageError;
    a.error = why;
    return a;
}

} // namespace

QString DisplayArguments::usage()
{
    return QStringLiteral(
               "Usage: ferrowhistle-display MESSAGE [--position NAME] [--duration SECONDS]\n"
               "\n"
               "Shows MESSAGE in the Ferrowhistle card and returns once it has gone,\n"
               "starting Ferrowhistle first if it is not running.\n"
               "\n"
               "  --position NAME     where the card stands: center (the default), top,\n"
               "                      bottom, left, right, topLeft, topRight,\n"
               "                      bottomLeft or bottomRight\n"
               "  --duration SECONDS  how long it stays; 0 (the default) or less means\n"
               "                      automatic, from the message's length\n"
               "  -h, --help          show this help\n"
               "  --                  what follows is the message, even if it starts with -\n"
               "\n"
               "Exit status: 0 once the message has gone, 1 when Ferrowhistle cannot be\n"
               "reached or started, 2 on a usage error.\n");
}

DisplayArguments DisplayArguments::parse(const QStringList &arguments)
{
    DisplayArguments a;
    bool haveMessage = false;
    bool optionsDone = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString arg = arguments.at(i);
        if (!optionsDone && (arg == QLatin1String("-h") || arg == QLatin1String("--help"))) {
            a.result = Result::Help;
            return a;
        }
        if (!optionsDone && arg == QLatin1String("--")) {
            optionsDone = true;
            continue;
        }
        if (!optionsDone && arg.startsWith(QLatin1String("--"))) {
            QString name = arg;
            QString value;
            bool inlineValue = false;
            if (const qsizetype eq = arg.indexOf(QLatin1Char('=')); eq > 0) {
                name = arg.left(eq);
                value = arg.mid(eq + 1);
                inlineValue = true;
            }
            if (name != QLatin1String("--position") && name != QLatin1String("--duration"))
                return usageError(QStringLiteral("unknown option %1 (put -- before a message that starts with -)")
                                      .arg(name));
            if (!inlineValue) {
                if (i + 1 >= arguments.size())
                    return usageError(QStringLiteral("%1 needs a value").arg(name));
                value = arguments.at(++i);
            }
            if (name == QLatin1String("--position")) {
                if (!HUDPositions::fromRawValue(value))
                    return usageError(QStringLiteral("--position \"%1\" is not one of: %2").arg(value, HUDPositions::rawValueList()));
                a.position = value;
            } else {
                bool ok = false;
                const double seconds = QLocale::c().toDouble(value, &ok);
                if (!ok || !std::isfinite(seconds))
                    return usageError(
                        QStringLiteral("--duration wants a number of seconds, got \"%1\" (0 or less means automatic)")
                            .arg(value));
                a.duration = seconds;
            }
            continue;
        }
        if (!optionsDone && arg.size() > 1 && arg.startsWith(QLatin1Char('-')))
            return usageError(QStringLiteral("unknown option %1 (put -- before a message that starts with -)").arg(arg));
        if (haveMessage)
            return usageError(QStringLiteral("one MESSAGE only; quote a message that has spaces"));
        a.message = arg;
        haveMessage = true;
    }
    if (!haveMessage)
        return usageError(QStringLiteral("MESSAGE is missing"));
    a.result = Result::Run;
    return a;
}
