// The tree copy used to move the app: what it keeps, what it refuses, and
// that a failure leaves nothing at the target.
#include "platform/CopyTree.h"
#include "support/FileTrees.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray path(const QString &p) { return QFile::encodeName(p); }

void writeFile(const QString &p, const QByteArray &data, mode_t mode)
{
    QFile f(p);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    QCOMPARE(::chmod(path(p).constData(), mode), 0);
}

timespec mtimeOf(const QString &p)
{
    struct stat st {};
    ::lstat(path(p).constData(), &st);
    return st.st_mtim;
}

bool exists(const QString &p)
{
    struct stat st;
    return ::lstat(path(p).constData(), &st) == 0;
}

// A bundle-like tree with every kind of entry a bundle holds: plain and
// executable files, a large file, an empty one, a folder nobody may write,
// and links (relative, absolute, dangling, to a folder).
void makeTree(const QString &root)
{
    QVERIFY(QDir().mkpath(root + QStringLiteral("/Contents/bin")));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/Contents/Resources/locked")));
    writeFile(root + QStringLiteral("/Contents/bin/app"), "#!/bin/sh\n", 0755);
    writeFile(root + QStringLiteral("/Contents/Info.plist"), "<plist/>", 0644);
    writeFile(root + QStringLiteral("/Contents/Resources/private"), "secret", 0600);
    writeFile(root + QStringLiteral("/Contents/Resources/empty"), "", 0644);
    QByteArray big(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 131 % 251);
    writeFile(root + QStringLiteral("/Contents/Resources/big.bin"), big, 0644);
    writeFile(root + QStringLiteral("/Contents/Resources/locked/inside"), "x", 0444);
    QVERIFY(QFile::link(QStringLiteral("../Info.plist"), root + QStringLiteral("/Contents/bin/relative")));
    QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), root + QStringLiteral("/Contents/bin/absolute")));
    QVERIFY(QFile::link(QStringLiteral("nowhere"), root + QStringLiteral("/Contents/bin/dangling")));
    QVERIFY(QFile::link(QStringLiteral("../Resources"), root + QStringLiteral("/Contents/bin/folder-link")));
    QCOMPARE(::chmod(path(root + QStringLiteral("/Contents/Resources/locked")).constData(), 0555), 0);
    // Times from the past, so that a copy stamped "now" shows.
    const timespec past[2] = {{1000000000, 0}, {1000000000, 123456789}};
    QCOMPARE(::utimensat(AT_FDCWD, path(root + QStringLiteral("/Contents/Info.plist")).constData(), past, 0), 0);
    QCOMPARE(::utimensat(AT_FDCWD, path(root + QStringLiteral("/Contents/Resources/locked")).constData(), past, 0), 0);
}

} // namespace

class tst_CopyTree : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void keepsModesLinksAndTimes();
    void refusesWhatABundleCannotHold();
    void leavesAnExistingTargetAlone();
    void failureLeavesNothingBehind();
};

void tst_CopyTree::keepsModesLinksAndTimes()
{
    QTemporaryDir dir;
    const QString source = dir.path() + QStringLiteral("/Source.app");
    const QString target = dir.path() + QStringLiteral("/Target.app");
    makeTree(source);
    QVERIFY(!QTest::currentTestFailed());

    copyTree(source, target);

    QCOMPARE(snapshotTree(target), snapshotTree(source));
    // Links stay links: nothing was copied through the folder link.
    QVERIFY(QFileInfo(target + QStringLiteral("/Contents/bin/folder-link")).isSymLink());
    for (const char *entry : {"/Contents/Info.plist", "/Contents/Resources/locked"}) {
        const timespec a = mtimeOf(source + QLatin1String(entry));
        const timespec b = mtimeOf(target + QLatin1String(entry));
        QCOMPARE(b.tv_sec, a.tv_sec);
        QCOMPARE(b.tv_nsec, a.tv_nsec);
    }
    // The copy can be removed by its owner like any other.
    QCOMPARE(QProcess::execute(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), target}), 0);
}

void tst_CopyTree::refusesWhatABundleCannotHold()
{
    QTemporaryDir dir;
    const QString source = dir.path() + QStringLiteral("/Source.app");
    const QString target = dir.path() + QStringLiteral("/Target.app");
    makeTree(source);
    const QString fifo = source + QStringLiteral("/Contents/Resources/zz-pipe");
    QCOMPARE(::mkfifo(path(fifo).constData(), 0644), 0);

    try {
        copyTree(source, target);
        QFAIL("a FIFO was copied");
    } catch (const CopyError &e) {
        QCOMPARE(e.path(), fifo);
        QCOMPARE(e.description(), QStringLiteral("not a file, folder or link"));
    }
    QVERIFY(!exists(target));

    // A missing source says so.
    try {
        copyTree(dir.path() + QStringLiteral("/missing"), target);
        QFAIL("a missing source was copied");
    } catch (const CopyError &e) {
        QCOMPARE(e.description(), QString::fromLocal8Bit(std::strerror(ENOENT)));
    }
    QVERIFY(!exists(target));
}

void tst_CopyTree::leavesAnExistingTargetAlone()
{
    QTemporaryDir dir;
    const QString source = dir.path() + QStringLiteral("/Source.app");
    makeTree(source);
    // Whatever is there, a folder, a file or a dangling link, stays as it was.
    const QString folder = dir.path() + QStringLiteral("/folder");
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/keep")));
    const QString link = dir.path() + QStringLiteral("/link");
    QVERIFY(QFile::link(dir.path() + QStringLiteral("/nothing-here"), link));
    for (const QString &target : {folder, link}) {
        const auto before = snapshotTree(dir.path());
        QVERIFY_THROWS_EXCEPTION(CopyError, copyTree(source, target));
        QCOMPARE(snapshotTree(dir.path()), before);
    }
    QVERIFY(!exists(dir.path() + QStringLiteral("/nothing-here")));
}

void tst_CopyTree::failureLeavesNothingBehind()
{
    QTemporaryDir dir;
    const QString source = dir.path() + QStringLiteral("/Source.app");
    makeTree(source);

    // A folder the copy may not write into.
    {
        ReadOnlyFolder readOnly(dir.path() + QStringLiteral("/ro"), QString());
        QVERIFY2(readOnly.error().isEmpty(), qPrintable(readOnly.error()));
        try {
            copyTree(source, dir.path() + QStringLiteral("/ro/Target.app"));
            QFAIL("copied into a read-only folder");
        } catch (const CopyError &e) {
            QVERIFY2(e.description() == QString::fromLocal8Bit(std::strerror(EROFS))
                         || e.description() == QString::fromLocal8Bit(std::strerror(EACCES)),
                     qPrintable(e.description()));
        }
        QCOMPARE(QDir(dir.path() + QStringLiteral("/ro")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // A disk that fills up half-way: what was copied goes again.
    if (::geteuid() != 0)
        QSKIP("a small file system of the test's own needs root");
    const QString small = dir.path() + QStringLiteral("/small");
    QVERIFY(QDir().mkpath(small));
    QCOMPARE(QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                         QStringLiteral("size=1m"), QStringLiteral("tmpfs"), small}),
             0);
    try {
        copyTree(source, small + QStringLiteral("/Target.app"));
        QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), small});
        QFAIL("3 MiB fitted into 1 MiB");
    } catch (const CopyError &e) {
        QCOMPARE(e.description(), QString::fromLocal8Bit(std::strerror(ENOSPC)));
    }
    const QStringList left = QDir(small).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), small});
    QCOMPARE(left, QStringList());
}

QTEST_GUILESS_MAIN(tst_CopyTree)
#include "tst_CopyTree.moc"
