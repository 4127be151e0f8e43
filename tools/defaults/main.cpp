// ferrowhistle-defaults: reads and writes Ferrowhistle's user settings from a
// shell, the way a user sets the feed override.
//
//   ferrowhistle-defaults read [KEY]
//   ferrowhistle-defaults write KEY [-string|-bool|-date] VALUE
//   ferrowhistle-defaults delete KEY
//
// A bare VALUE is a string. -bool takes true/false, yes/no or 1/0 (any case);
// -date takes an ISO 8601 date and time with a zone (2026-12-08T03:04:05Z).
// Exit status: 0 done, 1 the key does not exist or the file can't be written,
// 2 the command line is wrong.

#include "hud/HUDScreen.h"
#include "release/FeedScope.h"
#include "platform/DefaultsStore.h"
#include "release/UpdaterDefaults.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

const char *const kUsage =
    "Usage: ferrowhistle-defaults read [KEY]\n"
    "  or:  ferrowhistle-defaults write KEY [-string|-bool|-date] VALUE\n"
    "  or:  ferrowhistle-defaults delete KEY\n";

const char *const kHelp =
    "\n"
    "Reads and changes Ferrowhistle's user settings, kept in\n"
    "${XDG_CONFIG_HOME:-~/.config}/ferrowhistle/defaults.plist.\n"
    "\n"
    "  read              print every key and value\n"
    "  read KEY          print one value\n"
    "  write KEY VALUE   store VALUE as a string (same as -string)\n"
    "  write KEY -bool VALUE\n"
    "                    true, false, yes, no, 1 or 0 (any case)\n"
    "  write KEY -date VALUE\n"
    "                    an ISO 8601 date and time with a zone, 2026-12-08T03:04:05Z\n"
    "  delete KEY        remove the key\n"
    "\n"
    "Keys Ferrowhistle reads (when it starts):\n"
    "  UpdateFeedURL          string  an https address that replaces the built-in\n"
    "                                 release feed (anything else is ignored)\n"
    "  updateAutomaticCheck   bool    check for updates automatically (default true)\n"
    "  updateLastCheck        date    when the last check succeeded\n"
    "  updateRolloutGroup     integer this computer's turn in a phased rollout,\n"
    "                                 0 to 6; when absent, Ferrowhistle works it\n"
    "                                 out from the machine, the user and the app,\n"
    "                                 the same each time, and stores nothing (write\n"
    "                                 it to choose another; delete it to go back)\n"
    "  UpdateChannel          string  the channel of releases to follow (default\n"
    "                                 stable); signed feeds of another channel\n"
    "                                 are refused\n"
    "  updateNewestFeeds      string  for each feed address, when the newest\n"
    "                                 signed feed accepted from it was published;\n"
    "                                 older feeds from there are refused (delete\n"
    "                                 it to accept them again)\n"
    "\n"
    "Key Ferrowhistle reads for each message:\n"
    "  HUDScreen              string  where a card appears: main (the primary\n"
    "                                 screen, the default), pointer (the screen\n"
    "                                 under the mouse pointer) or all (a card on\n"
    "                                 every screen); anything else means main. A\n"
    "                                 message sent with a screen of its own\n"
    "                                 uses that one\n"
    "\n"
    "Exit status: 0 done, 1 the key does not exist or the file can't be\n"
    "written, 2 the command line is wrong.\n";

int usage(const QString &problem)
{
    QTextStream err(stderr);
    err << "ferrowhistle-defaults: " << problem << "\n" << kUsage;
    return 2;
}

QString typeOption(QMetaType::Type type)
{
    switch (type) {
    case QMetaType::Bool: return QStringLiteral("-bool");
    case QMetaType::QDateTime: return QStringLiteral("-date");
    default: return QStringLiteral("-string");
    }
}

// Every key the app reads: the updater's and the card's.
const QList<UpdaterDefaults::Key> &knownKeys()
{
    static const QList<UpdaterDefaults::Key> all =
        UpdaterDefaults::keys() + QList<UpdaterDefaults::Key>{{HUDScreens::settingKey(), QMetaType::QString}};
    return all;
}

// The store takes any key and type; the app reads only its own keys with
// their own types, so say when a write will go unseen. Still written:
// a user may be preparing a newer version's setting.
void warnIfUnread(const QString &key, const QVariant &value)
{
    QTextStream err(stderr);
    const QList<UpdaterDefaults::Key> &keys = knownKeys();
    const auto known = std::find_if(keys.begin(), keys.end(), [&](const UpdaterDefaults::Key &k) { return k.name == key; });
    if (known == keys.end()) {
        QStringList names;
        for (const UpdaterDefaults::Key &k : keys)
            names.append(k.name);
        err << "ferrowhistle-defaults: warning: Ferrowhistle does not read the key " << key
            << " (it reads " << names.join(QStringLiteral(", ")) << ")\n";
        return;
    }
    if (value.typeId() != known->type && known->type == QMetaType::LongLong) {
        // No command writes an integer: the app picks this value itself.
        err << "ferrowhistle-defaults: warning: Ferrowhistle picks " << key
            << " itself, as a whole number; this value will be ignored and replaced\n";
        return;
    }
    if (value.typeId() != known->type) {
        err << "ferrowhistle-defaults: warning: Ferrowhistle reads " << key << " only when written with "
            << typeOption(known->type) << "; this value will be ignored\n";
        return;
    }
    if (key == UpdaterDefaults::feedURLKey() && !UpdaterDefaults::isHonouredFeedURL(value.toString()))
        err << "ferrowhistle-defaults: warning: " << key
            << " is not an https address; Ferrowhistle will ignore it and use the built-in feed\n";
    if (key == UpdaterDefaults::channelKey() && !FeedScope::isChannelName(value.toString()))
        err << "ferrowhistle-defaults: warning: " << key << " \"" << value.toString()
            << "\" is not a channel name (1 to 64 letters, digits, \".\", \"_\" and \"-\"); Ferrowhistle will use "
            << FeedScope::defaultChannel() << "\n";
    if (key == HUDScreens::settingKey() && !HUDScreens::fromRawValue(value.toString()))
        err << "ferrowhistle-defaults: warning: " << key << " \"" << value.toString() << "\" is not one of: "
            << HUDScreens::rawValueList() << "; Ferrowhistle will use main\n";
}

QString render(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::QDateTime:
        return value.toDateTime().toUTC().toString(Qt::ISODate);
    default:
        return value.toString();
    }
}

std::optional<bool> parseBool(const QString &text)
{
    const QString t = text.toLower();
    if (t == u"true" || t == u"yes" || t == u"1")
        return true;
    if (t == u"false" || t == u"no" || t == u"0")
        return false;
    return std::nullopt;
}

std::optional<QDateTime> parseDate(const QString &text)
{
    // A setting that means a point in time needs a time and a zone; Qt reads
    // a bare date or a time without a zone as local time, so refuse those.
    const QDateTime date = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!date.isValid() || !text.contains(u'T') || date.timeSpec() == Qt::LocalTime)
        return std::nullopt;
    return date.toUTC();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const DefaultsStore store = DefaultsStore::standard();

    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString &command = args[0];
    if (command == u"--help" || command == u"-h" || command == u"help") {
        out << kUsage << kHelp;
        return 0;
    }

    try {
        if (command == u"read") {
            if (args.size() == 1) {
                const QVariantMap all = store.dictionary();
                for (auto it = all.begin(); it != all.end(); ++it)
                    out << it.key() << " = " << render(it.value()) << "\n";
                return 0;
            }
            if (args.size() != 2)
                return usage(QStringLiteral("read takes at most one key"));
            const QVariant value = store.object(args[1]);
            if (!value.isValid()) {
                err << "ferrowhistle-defaults: the key " << args[1] << " does not exist in " << store.path() << "\n";
                return 1;
            }
            out << render(value) << "\n";
            return 0;
        }
        if (command == u"write") {
            if (args.size() == 3) {
                store.setValue(args[1], args[2]);
                warnIfUnread(args[1], args[2]);
                return 0;
            }
            if (args.size() != 4)
                return usage(QStringLiteral("write takes a key, an optional type and a value"));
            const QString &key = args[1];
            const QString &type = args[2];
            const QString &text = args[3];
            if (type == u"-string") {
                store.setValue(key, text);
            } else if (type == u"-bool") {
                const auto value = parseBool(text);
                if (!value)
                    return usage(QStringLiteral("\"%1\" is not a boolean (true, false, yes, no, 1, 0)").arg(text));
                store.setValue(key, *value);
            } else if (type == u"-date") {
                const auto value = parseDate(text);
                if (!value)
                    return usage(QStringLiteral("\"%1\" is not an ISO 8601 date and time with a zone").arg(text));
                store.setValue(key, *value);
            } else {
                return usage(QStringLiteral("unknown type %1 (use -string, -bool or -date)").arg(type));
            }
            warnIfUnread(key, store.object(key));
            return 0;
        }
        if (command == u"delete") {
            if (args.size() != 2)
                return usage(QStringLiteral("delete takes one key"));
            if (!store.remove(args[1])) {
                err << "ferrowhistle-defaults: the key " << args[1] << " does not exist in " << store.path() << "\n";
                return 1;
            }
            return 0;
        }
    } catch (const DefaultsStoreError &e) {
        err << "ferrowhistle-defaults: " << e.what() << "\n";
        return 1;
    }
    return usage(QStringLiteral("unknown command %1").arg(command));
}
