#pragma once

#include <QList>
#include <QString>

#include <stdexcept>

// Registration of a bundle with the desktop, in the user's data folder:
//   applications/com.copperkestrel.Ferrowhistle.desktop  the launcher entry,
//       D-Bus activatable, with the app's launcher actions;
//   dbus-1/services/com.copperkestrel.Ferrowhistle.service  D-Bus activation.
// Both point at the bundle's Contents/bin/Ferrowhistle.

struct DesktopIntegrationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A desktop action the launcher entry lists: its title, and an Exec line
// that runs `Ferrowhistle --action ID`. The app's action table gives them.
struct LauncherAction {
    QString id;
    QString title;
};

// Writes both files for the bundle at bundlePath (absolute) under dataHome
// (absolute; ${XDG_DATA_HOME:-~/.local/share} for a real install). Folders
// are created as needed; each file is replaced atomically, so a launcher
// never reads half of one. Throws DesktopIntegrationError with a sentence
// that names the path and the reason.
void installDesktopIntegration(const QString &bundlePath, const QString &dataHome,
                               const QList<LauncherAction> &actions);

// Brings the launcher entry under dataHome up to date with actions, when it
// is the entry of the bundle at bundlePath (its Exec starts that bundle's
// program); an entry of another copy, or none, is left as it is. Returns
// whether it was rewritten (atomically, as above). Throws
// DesktopIntegrationError as installDesktopIntegration does.
bool refreshDesktopEntry(const QString &bundlePath, const QString &dataHome, const QList<LauncherAction> &actions);

// The user's data folder: $XDG_DATA_HOME when absolute, else ~/.local/share.
QString userDataHome();

// The two files installDesktopIntegration writes, as paths under dataHome.
QString desktopEntryPath(const QString &dataHome);
QString dbusServicePath(const QString &dataHome);

// Their contents, for a program at executablePath (absolute). Throws
// DesktopIntegrationError for a path neither file can carry (a control
// character, named in the sentence; not absolute). The entry's Exec lines
// name the program, or, when its path holds a %, hand it to /bin/sh as $0:
// GLib looks for the program named before it reads %% as %, and would not
// load the entry.
QByteArray desktopEntryText(const QString &executablePath, const QString &iconPath,
                            const QList<LauncherAction> &actions);
QByteArray dbusServiceText(const QString &executablePath);

// One argument of an Exec line: as is when it holds nothing the rules
// reserve, else in double quotes with " ` $ and \ escaped.
QString quotedExecArgument(const QString &argument);

// Start at login: the XDG autostart entry
//   ${XDG_CONFIG_HOME:-~/.config}/autostart/com.copperkestrel.Ferrowhistle.desktop
// which starts a bundle's Contents/bin/Ferrowhistle with the session. Written
// by the same writer as the desktop entry (the same quoting and the same
// atomic replacement).

// The user's config folder: $XDG_CONFIG_HOME when absolute, else ~/.config.
QString userConfigHome();
QString autostartEntryPath(const QString &configHome);
QByteArray autostartEntryText(const QString &executablePath, const QString &iconPath);

// Writes the entry for the bundle at bundlePath (absolute). Throws
// DesktopIntegrationError with a sentence naming the path and the reason.
void installAutostartEntry(const QString &bundlePath, const QString &configHome);
// Removes the entry; none there is not an error. Throws
// DesktopIntegrationError when it stays.
void removeAutostartEntry(const QString &configHome);
// Whether the session would start the bundle at bundlePath from the entry:
// its Exec names that bundle's program and it is neither hidden nor
// disabled. A missing or unreadable entry starts nothing.
bool autostartStartsBundle(const QString &bundlePath, const QString &configHome);
