#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Gives a test process its own TMPDIR and XDG folders, so the debug log and
// every per-user file land in a throwaway directory.
class TestEnvironment {
public:
    TestEnvironment();
    // Lets settings this process posted reach the disk before the folder
    // goes, so no write recreates it afterwards.
    ~TestEnvironment();
    QString root() const { return m_dir.path(); }
    QString tmpDir() const { return m_dir.path() + QStringLiteral("/tmp"); }
    // The debug log's lines; each line without its timestamp and space.
    QStringList debugLogMessages() const;
    QString debugLogFile() const;
    void clearDebugLog() const;

private:
    QTemporaryDir m_dir;
};

// Splits "2026-12-07T01:02:03Z text" into its parts; false when the line does
// not start with such a timestamp.
bool splitLogLine(const QString &line, QString *timestamp, QString *text);
