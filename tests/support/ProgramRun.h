#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A program run to its end: how it ended and what it printed.
struct ProgramRun {
    // -1 unless it ended normally within the time given.
    int exitCode = -1;
    // It did not end normally (a signal, or killed for taking too long).
    bool crashed = true;
    QString out;
    QString err;
};

// Runs program with args in env and waits up to timeoutMs for it to end;
// one still running then is killed.
ProgramRun runToEnd(const QString &program, const QStringList &args,
                    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 60000);
