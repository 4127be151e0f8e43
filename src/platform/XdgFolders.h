#pragma once

#include <QDir>
#include <QString>

// The user's base folders by the XDG rules: the variable when it holds an
// absolute path (a relative one is ignored), else the folder under $HOME.
inline QString xdgFolder(const char *variable, const char *underHome)
{
    const QString value = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(value) ? value : QDir::homePath() + QLatin1Char('/') + QLatin1String(underHome);
}

inline QString xdgConfigHome() { return xdgFolder("XDG_CONFIG_HOME", ".config"); }
inline QString xdgDataHome() { return xdgFolder("XDG_DATA_HOME", ".local/share"); }
inline QString xdgCacheHome() { return xdgFolder("XDG_CACHE_HOME", ".cache"); }
