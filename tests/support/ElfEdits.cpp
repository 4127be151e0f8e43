#include "support/ElfEdits.h"

#include <QFile>
#include <QProcess>

QString smallSystemProgram()
{
    for (const char *path : {"/usr/bin/true", "/bin/true"}) {
        if (QFile::exists(QLatin1String(path)))
            return QLatin1String(path);
    }
    return {};
}

QString patchedCopy(const QString &from, const QString &to, const QStringList &patchelfArguments)
{
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return QStringLiteral("can't copy %1 to %2").arg(from, to);
    QFile::setPermissions(to, QFile::permissions(to) | QFile::WriteOwner | QFile::ExeOwner);
    // One change per run: patchelf 0.14 writes a wrong run path when it
    // also adds a needed library in the same run.
    // "--force-rpath" goes with the "--set-rpath" after it (DT_RPATH, not
    // DT_RUNPATH).
    for (qsizetype i = 0; i + 1 < patchelfArguments.size();) {
        const qsizetype n = patchelfArguments[i] == QLatin1String("--force-rpath") ? 3 : 2;
        const QStringList change = patchelfArguments.mid(i, n);
        i += n;
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("patchelf"), change + QStringList{to});
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return QStringLiteral("patchelf %1 failed: %2").arg(change.join(u' '), QString::fromLocal8Bit(p.readAll()));
    }
    return {};
}

QString renameString(const QString &path, const QByteArray &from, const QByteArray &to)
{
    if (from.size() != to.size())
        return QStringLiteral("the names differ in length");
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return QStringLiteral("can't open %1").arg(path);
    QByteArray bytes = f.readAll();
    const QByteArray needle = '\0' + from + '\0';
    if (!bytes.contains(needle))
        return QStringLiteral("%1 has no string %2").arg(path, QString::fromLatin1(from));
    bytes.replace(needle, '\0' + to + '\0');
    if (!f.seek(0) || f.write(bytes) != bytes.size())
        return QStringLiteral("can't write %1").arg(path);
    return {};
}

QString compiled(const QByteArray &source, const QString &output, const QStringList &arguments, Language language)
{
    const bool cxx = language == Language::Cxx;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    // The source comes on standard input, so its language is named first;
    // "-x none" lets the files after it (libraries) be taken for what they are.
    p.start(cxx ? QStringLiteral("c++") : QStringLiteral("cc"),
            QStringList{QStringLiteral("-x"), cxx ? QStringLiteral("c++") : QStringLiteral("c"), QStringLiteral("-"), QStringLiteral("-x"),
                        QStringLiteral("none")}
                + arguments + QStringList{QStringLiteral("-o"), output});
    p.write(source);
    p.closeWriteChannel();
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("compiling %1 failed: %2").arg(output, QString::fromLocal8Bit(p.readAll()));
    return {};
}
