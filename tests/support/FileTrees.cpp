#include "support/FileTrees.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

QMap<QString, QByteArray> snapshotTree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    auto describe = [](const QString &path) {
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return QByteArray("?");
        QByteArray d = QByteArray::number(st.st_mode, 8);
        if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buf, sizeof buf);
            d += " -> " + QByteArray(buf, n > 0 ? n : 0);
        } else if (S_ISREG(st.st_mode)) {
            QFile f(path);
            if (f.open(QIODevice::ReadOnly))
                d += ' ' + QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
        }
        return d;
    };
    tree.insert(QStringLiteral("."), describe(root));
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(path.mid(root.size() + 1), describe(path));
    }
    return tree;
}

QStringList entriesWithPrefix(const QString &folder, const QString &prefix)
{
    QStringList out;
    for (const QString &name : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        if (name.startsWith(prefix))
            out << name;
    return out;
}

namespace {
bool run(const QString &program, const QStringList &args, QString *error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = program + u' ' + args.join(u' ') + QStringLiteral(": ") + QString::fromUtf8(p.readAll());
        return false;
    }
    return true;
}
} // namespace

ReadOnlyFolder::ReadOnlyFolder(const QString &path, const QString &from) : m_path(path)
{
    QDir().mkpath(path);
    if (::geteuid() == 0) {
        if (!run(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                            QStringLiteral("size=64m"), QStringLiteral("tmpfs"), path}, &m_error))
            return;
        m_mounted = true;
        if (!from.isEmpty() && !run(QStringLiteral("cp"), {QStringLiteral("-a"), from, path + u'/'}, &m_error))
            return;
        run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,ro"), path}, &m_error);
    } else {
        if (!from.isEmpty() && !run(QStringLiteral("cp"), {QStringLiteral("-a"), from, path + u'/'}, &m_error))
            return;
        ::chmod(QFile::encodeName(path).constData(), 0555);
    }
}

ReadOnlyFolder::~ReadOnlyFolder()
{
    QString ignored;
    if (m_mounted)
        run(QStringLiteral("umount"), {QStringLiteral("-l"), m_path}, &ignored);
    else
        ::chmod(QFile::encodeName(m_path).constData(), 0755);
}

QString lastLines(const QString &path, int lines)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QStringList all = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return all.mid(std::max<qsizetype>(0, all.size() - lines)).join(QLatin1Char('\n'));
}
