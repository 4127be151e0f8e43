#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// A bundle tree as it is on disk: every folder, file and link below the
// root with its mode, contents or target. Two snapshots are equal when
// nothing was added, removed, changed or re-moded.
QMap<QString, QByteArray> snapshotTree(const QString &root);

// The last `lines` non-empty lines of a text file (a server's log for a
// failure message); empty when it can't be read.
QString lastLines(const QString &path, int lines);

// Names in folder that start with prefix, hidden ones included.
QStringList entriesWithPrefix(const QString &folder, const QString &prefix);

// A folder that this process cannot write, whoever it runs as: a read-only
// tmpfs when it runs as root (who may write anywhere else), else a folder
// without write permission. The tree under `from` is copied in first.
class ReadOnlyFolder {
public:
    ReadOnlyFolder(const QString &path, const QString &from);
    ~ReadOnlyFolder();
    QString error() const { return m_error; }

private:
    QString m_path;
    bool m_mounted = false;
    QString m_error;
};
