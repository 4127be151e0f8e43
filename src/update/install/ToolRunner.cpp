#include "update/Updater.h"

#include <QFileInfo>
#include <QProcess>

#include <qcoro/qcorosignal.h>

#include <memory>

QCoro::Task<> Updater::runTool(QString program, QStringList arguments)
{
    // The process runs on its own; the GUI thread only waits for its end.
    // Its output goes to the null device, so no pipe fills up.
    auto process = std::make_unique<QProcess>();
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->setInputChannelMode(QProcess::ForwardedInputChannel);

    process->start();
    // Every step of its life (started, failed to start, finished) changes
    // its state; a program that is not there fails inside start() already.
    while (process->state() != QProcess::NotRunning) {
        auto change = qCoro(process.get(), &QProcess::stateChanged);
        co_await std::move(change);
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
