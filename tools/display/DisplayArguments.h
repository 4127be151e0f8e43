#pragma once

#include <QString>
#include <QStringList>

// ferrowhistle-display MESSAGE [--position NAME] [--duration SECONDS]
struct DisplayArguments {
    enum class Result { Run, Help, UsageError };

    Result result = Result::UsageError;
    QString message;
    // A raw position value, already checked.
    QString position = QStringLiteral("center");
    double duration = 0;
    // For UsageError: one line saying what is wrong.
    QString error;

    // arguments without the program name.
    static DisplayArguments parse(const QStringList &arguments);
    static QString usage();
};
