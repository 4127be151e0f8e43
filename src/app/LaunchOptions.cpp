#include "app/LaunchOptions.h"

#include "hud/DebugLog.h"
#include "app/AppActions.h"
#include "release/UpdaterDefaults.h"
#include "release/VersionRules.h"

std::optional<LaunchRequest> scanLaunchArguments(const QStringList &arguments)
{
    const qsizetype i = arguments.indexOf(QStringLiteral("--test-message"));
    if (i < 0 || i + 1 >= arguments.size())
        return std::nullopt;
    LaunchRequest request;
    request.message = arguments.at(i + 1);
    const qsizetype j = arguments.indexOf(QStringLiteral("--position"));
    if (j >= 0 && j + 1 < arguments.size())
        request.position = HUDPositions::fromRawValue(arguments.at(j + 1)).value_or(HUDPosition::center);
    return request;
}

LaunchMode launchModeOf(const QStringList &arguments)
{
    LaunchMode mode;
    if (arguments.size() > 1 && arguments.at(1) == u"--watch-start") {
        // The numbers are read as the updater reads them (a build as in
        // CFBundleVersion, the limit as the updater bounds it), so the
        // relaunch never writes a command line the watch refuses.
        const bool whole = arguments.size() == 5;
        const std::optional<qint64> build = whole ? VersionRules::parseInteger(arguments.at(3)) : std::nullopt;
        const auto limit = whole ? UpdaterDefaults::parseStartLimit(arguments.at(4)) : std::nullopt;
        if (!build || !limit || *build <= 0 || !arguments.at(2).startsWith(u'/')) {
            mode.kind = LaunchMode::UsageError;
            mode.error = QStringLiteral("--watch-start needs a bundle's absolute path, a build and a limit of %1 to %2 "
                                        "milliseconds")
                             .arg(UpdaterDefaults::kShortestStartLimit.count())
                             .arg(UpdaterDefaults::kLongestStartLimit.count());
            return mode;
        }
        mode.kind = LaunchMode::WatchStart;
        mode.watchBundle = arguments.at(2);
        mode.watchBuild = *build;
        mode.watchLimitMs = limit->count();
        return mode;
    }
    bool help = false;
    bool version = false;
    bool registerWithDesktop = false;
    bool hasAction = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == u"--test-message" || a == u"--position") {
            ++i;
        } else if (a == u"--action") {
            if (i + 1 >= arguments.size()) {
                mode.kind = LaunchMode::UsageError;
                mode.error = QStringLiteral("--action needs the name of an action");
                return mode;
            }
            if (!hasAction) {
                mode.action = arguments.at(i + 1);
                hasAction = true;
            }
            ++i;
        } else if (a == u"--help" || a == u"-h") {
            help = true;
        } else if (a == u"--version") {
            version = true;
        } else if (a == u"--register-with-desktop") {
            registerWithDesktop = true;
        }
    }
    if (help) {
        mode.kind = LaunchMode::Help;
    } else if (version) {
        mode.kind = LaunchMode::Version;
    } else if (hasAction && !desktopActionNamed(mode.action)) {
        mode.kind = LaunchMode::UsageError;
        mode.error = QStringLiteral("unknown action \"%1\"; actions: %2").arg(mode.action, actionIdList());
    } else if (registerWithDesktop) {
        mode.kind = LaunchMode::RegisterWithDesktop;
    }
    return mode;
}

QString launchUsage()
{
    return QStringLiteral(
               "Usage: Ferrowhistle [--test-message TEXT] [--position NAME] [--action NAME]\n"
               "       Ferrowhistle --register-with-desktop | --help | --version\n"
               "\n"
               "Shows short messages in a floating card. One instance runs per session;\n"
               "a later launch hands its command line to it and exits.\n"
               "\n"
               "Options:\n"
               "  --test-message TEXT    show TEXT (the next argument, as it is)\n"
               "  --position NAME        where: %1\n"
               "                         (anything else means center)\n"
               "  --action NAME          run a desktop action in the running instance,\n"
               "                         or in this one when none runs: %2\n"
               "  --register-with-desktop\n"
               "                         write the desktop entry and the D-Bus activation\n"
               "                         file for this copy into ${XDG_DATA_HOME:-~/.local/share},\n"
               "                         the start-at-login entry into\n"
               "                         ${XDG_CONFIG_HOME:-~/.config}/autostart, and exit\n"
               "  -h, --help             print this help and exit\n"
               "  --version              print the version and exit\n"
               "\n"
               "Automation: ferrowhistle-display, or the D-Bus action\n"
               "com.copperkestrel.Ferrowhistle.Intents.DisplayMessage.\n")
        .arg(HUDPositions::rawValueList(), actionIdList());
}

namespace {

QString quoted(const QString &argument)
{
    QString out;
    out.reserve(argument.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : argument) {
        switch (c.unicode()) {
        case '"': out += QStringLiteral("\\\""); break;
        case '\\': out += QStringLiteral("\\\\"); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        case 0: out += QStringLiteral("\\0"); break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() < 0xa0))
                out += QStringLiteral("\\u{%1}").arg(c.unicode(), 0, 16);
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

} // namespace

QString renderArgumentList(const QStringList &arguments)
{
    QStringList parts;
    parts.reserve(arguments.size());
    for (const QString &a : arguments)
        parts.append(quoted(loggedMessage(a)));
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

QStringList argumentsFromArgv(int argc, char **argv)
{
    QStringList list;
    list.reserve(argc);
    for (int i = 0; i < argc; ++i)
        list.append(QString::fromUtf8(argv[i]));
    return list;
}
