#include "support/ProgramRun.h"

#include <QProcess>

ProgramRun runToEnd(const QString &program, const QStringList &args, const QProcessEnvironment &env, int timeoutMs)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    ProgramRun r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.crashed = p.exitStatus() != QProcess::NormalExit;
    if (!r.crashed)
        r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}
