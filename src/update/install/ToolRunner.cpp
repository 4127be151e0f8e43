#include "update/Updater.h"
#include "platform/DurationText.h"
#include "platform/SignalWait.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>

#include <memory>

QCoro::Task<> Updater::runTool(QString program, QStringList arguments, std::chrono::milliseconds limit)
{
    // The process runs on its own; the GUI thread only waits for its end.
    // Its output goes to the null device, so no pipe fills up, and it reads
    // nothing of ours.
    auto process = std::make_unique<QProcess>();
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());

    process->start();
    // Every step of its life (started, failed to start, finished) changes
    // its state. Waited for by that signal rather than QCoro's
    // waitForFinished, which would sit out the whole limit for a program
    // that fails to start after start() has returned.
    const QDeadlineTimer deadline(limit);
    while (process->state() != QProcess::NotRunning) {
        const auto left = std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime()));
        SignalWait change(process.get(), &QProcess::stateChanged, left);
        if (!co_await change && process->state() != QProcess::NotRunning) {
            process->kill();
            while (process->state() != QProcess::NotRunning) {
                SignalWait end(process.get(), &QProcess::stateChanged);
                co_await end;
            }
            throw ToolTimedOut(QFileInfo(program).fileName() + QStringLiteral(" didn't finish within ")
                               + describeDuration(limit) + QStringLiteral(", so it was stopped."));
        }
    }
    if (process->error() == QProcess::FailedToStart)
        throw PlatformError(process->errorString());

    const QString name = QFileInfo(program).fileName();
    if (process->exitStatus() == QProcess::CrashExit)
        throw UpdaterFailure(name + QStringLiteral(" ended abnormally."));
    if (process->exitCode() != 0)
        throw UpdaterFailure(name + QStringLiteral(" exited with status ") + QString::number(process->exitCode())
                             + QStringLiteral("."));
}
