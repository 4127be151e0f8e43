// Update deltas between real signed bundles: the bundle a delta makes is the
// new release, byte for byte, and a hostile delta is refused without writing
// anything outside the copy it is applied to.
#include "SigningFixture.h"

#include "BundleSigner.h"
#include "codesign/BundleDelta.h"
#include "codesign/BundleSeal.h"
#include "codesign/CodeResources.h"
#include "platform/CopyTree.h"
#include "platform/RemoveTree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QtTest>

#include <zstd.h>

#include <cstring>
#include <functional>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QByteArray path8(const QString &p) { return QFile::encodeName(p); }

// Records written by hand, as a hostile server could.
class Records {
public:
    Records &u8(quint8 v)
    {
        m_bytes += char(v);
        return *this;
    }
    Records &u32(quint32 v)
    {
        for (int i = 0; i < 4; ++i)
            m_bytes += char((v >> (8 * i)) & 0xff);
        return *this;
    }
    Records &u64(quint64 v)
    {
        for (int i = 0; i < 8; ++i)
            m_bytes += char((v >> (8 * i)) & 0xff);
        return *this;
    }
    Records &text(const QByteArray &b)
    {
        u32(quint32(b.size()));
        m_bytes += b;
        return *this;
    }
    Records &raw(const QByteArray &b)
    {
        m_bytes += b;
        return *this;
    }
    const QByteArray &bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

QByteArray zstd(const QByteArray &plain)
{
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(plain.size()))), Qt::Uninitialized);
    const size_t n = ZSTD_compress(out.data(), size_t(out.size()), plain.constData(), size_t(plain.size()), 3);
    if (ZSTD_isError(n))
        qFatal("zstd: %s", ZSTD_getErrorName(n));
    out.truncate(qsizetype(n));
    return out;
}

QByteArray deltaFile(const QByteArray &fromDigest, const QByteArray &toDigest, const QByteArray &records)
{
    QByteArray out("FWDELTA\n");
    out += QByteArray("\x01\x00\x00\x00", 4);
    out += fromDigest;
    out += toDigest;
    return out + zstd(records);
}

// A zstd frame that asks for a window of 2^30 bytes: no content size, not a
// single segment, one raw block of one byte.
QByteArray frameAskingForHugeWindow()
{
    QByteArray f("\x28\xb5\x2f\xfd", 4);
    f += char(0x00);       // frame header descriptor: nothing optional
    f += char(20 << 3);    // window descriptor: 2^(10 + 20)
    f += QByteArray("\x09\x00\x00", 3); // last block, raw, 1 byte
    f += 'x';
    return f;
}

// Every path below root with its mode, times, link target and contents, for
// the comparison of before and after: a changed mode or a removed entry shows
// in the change time, a made or removed entry in its folder's times.
QStringList snapshot(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(path8(path).constData(), &st) != 0)
            qFatal("lstat %s", qPrintable(path));
        QString line = path.mid(root.size())
                       + QStringLiteral(" %1 %2.%3 %4.%5").arg(st.st_mode, 0, 8).arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec)
                             .arg(st.st_ctim.tv_sec).arg(st.st_ctim.tv_nsec);
        if (S_ISLNK(st.st_mode))
            line += QStringLiteral(" -> ") + QFile::symLinkTarget(path);
        else if (S_ISREG(st.st_mode))
            line += QLatin1Char(' ') + QString::fromLatin1(QCryptographicHash::hash(readBytes(path), QCryptographicHash::Sha256).toHex());
        out << line;
    }
    out.sort();
    return out;
}

// While it lives, this thread is held to the files' permission bits as any
// user is: root's overrides leave its effective set (they are per thread),
// and come back from the permitted set afterwards.
class PermissionBitsApply {
public:
    PermissionBitsApply()
    {
        if (::geteuid() != 0)
            return;
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH);
        m_dropped = ::syscall(SYS_capset, &m_header, reduced) == 0;
        m_ok = m_dropped;
    }
    ~PermissionBitsApply()
    {
        if (m_dropped && ::syscall(SYS_capset, &m_header, m_saved) != 0)
            qFatal("couldn't take back the capabilities");
    }
    bool ok() const { return m_ok; }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_dropped = false;
    bool m_ok = ::geteuid() != 0;
};

} // namespace

class tst_BundleDelta : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void makesTheNewBundleByteForByte();
    void refusesAMismatchedOrDamagedDelta_data();
    void refusesAMismatchedOrDamagedDelta();
    void refusesHostileRecords_data();
    void refusesHostileRecords();
    void writerRefusesAnOldBundleThatDoesNotMatchItsSeal();
    void failsWhereAFolderCannotBeSearched();

private:
    // A fresh copy of the old bundle under stage/, as the installer makes it.
    QString stagedCopy();
    QString applyFailure(const QString &delta, const DeltaLimits &limits = {});

    SigningFixture m_fixture;
    QString m_old;
    QString m_new;
    QString m_delta;
    QString m_stage;
    QString m_outside;
};

void tst_BundleDelta::initTestCase()
{
    ::umask(022);
    m_old = m_fixture.makeBundle(QStringLiteral("old"));
    const QString res = m_old + QStringLiteral("/Contents/Resources/");
    writeBytes(res + QStringLiteral("old-only.txt"), "goes away\n");
    writeBytes(res + QStringLiteral("icons/ferrowhistle-32.png"), QByteArray(900, 'j'));
    writeBytes(res + QStringLiteral("was-a-file"), "a file that becomes a folder\n");
    signBundle(m_old, m_fixture.developer.identityPem());
    notarizeBundle(m_old, m_fixture.notary.identityPem());

    // The next release: a code change, a new file in a new folder, a removed
    // file, a mode change, a link with a new target, a file become a folder.
    QDir(m_fixture.root()).mkpath(QStringLiteral("new"));
    m_new = m_fixture.root() + QStringLiteral("/new/Ferrowhistle.app");
    copyTree(m_old, m_new);
    QDir(m_new + QStringLiteral("/Contents/_CodeSignature")).removeRecursively();
    const QString exe = m_new + QStringLiteral("/Contents/bin/Ferrowhistle");
    QByteArray program = readBytes(exe);
    program.replace(30000, 8, "CHANGED!");
    program.insert(50000, QByteArray("a new function"));
    writeBytes(exe, program);
    QVERIFY(::chmod(path8(exe), 0755) == 0);
    const QString nres = m_new + QStringLiteral("/Contents/Resources/");
    QVERIFY(QFile::remove(nres + QStringLiteral("old-only.txt")));
    writeBytes(nres + QStringLiteral("added/new-file.txt"), "new in this release\n");
    QVERIFY(::chmod(path8(nres + QStringLiteral("build-info.json")), 0600) == 0);
    QVERIFY(QFile::remove(nres + QStringLiteral("icon.png")));
    QVERIFY(::symlink("icons/ferrowhistle-32.png", path8(nres + QStringLiteral("icon.png"))) == 0);
    QVERIFY(QFile::remove(nres + QStringLiteral("was-a-file")));
    writeBytes(nres + QStringLiteral("was-a-file/inside"), "now a folder\n");
    signBundle(m_new, m_fixture.developer.identityPem());
    notarizeBundle(m_new, m_fixture.notary.identityPem());

    m_delta = m_fixture.root() + QStringLiteral("/update.delta");
    BundleDelta::write(m_old, m_new, m_delta);
    m_stage = m_fixture.root() + QStringLiteral("/stage");
    // What a hostile delta would like to reach: a closed folder with a file,
    // dated in the past so that any touch shows.
    m_outside = m_fixture.root() + QStringLiteral("/outside");
    QVERIFY(QDir().mkpath(m_outside + QStringLiteral("/victim")));
    writeBytes(m_outside + QStringLiteral("/victim/secret"), "kept\n");
    QVERIFY(::chmod(path8(m_outside + QStringLiteral("/victim/secret")), 0600) == 0);
    QVERIFY(::chmod(path8(m_outside + QStringLiteral("/victim")), 0700) == 0);
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    for (const QString &p : {m_outside + QStringLiteral("/victim/secret"), m_outside + QStringLiteral("/victim"), m_outside})
        QVERIFY(::utimensat(AT_FDCWD, path8(p).constData(), past, AT_SYMLINK_NOFOLLOW) == 0);
}

QString tst_BundleDelta::stagedCopy()
{
    removeTree(m_stage);
    QDir().mkpath(m_stage);
    const QString copy = m_stage + QStringLiteral("/Ferrowhistle.app");
    copyTree(m_old, copy);
    return copy;
}

QString tst_BundleDelta::applyFailure(const QString &delta, const DeltaLimits &limits)
{
    const QString copy = stagedCopy();
    const auto inStage = [](const QString &p) { return p.startsWith(QStringLiteral("/stage/")); };
    QStringList before = snapshot(m_fixture.root());
    before.removeIf(inStage);
    QString failure;
    try {
        BundleDelta::apply(delta, copy, limits);
    } catch (const DeltaError &e) {
        failure = e.description();
    }
    // Whatever happened, nothing changed outside the staging folder: no
    // entry, mode, time or byte.
    QStringList after = snapshot(m_fixture.root());
    after.removeIf(inStage);
    if (before != after) {
        for (const QString &line : after) {
            if (!before.contains(line))
                qWarning("changed outside staging: %s", qPrintable(line));
        }
        return QStringLiteral("wrote outside staging");
    }
    // A refused delta leaves no link reaching out of the copy either.
    QDirIterator links(copy, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    const QString inside = QFileInfo(copy).canonicalFilePath() + u'/';
    while (links.hasNext()) {
        const QFileInfo entry(links.next());
        const QString reaches = entry.canonicalFilePath();
        if (entry.isSymLink() && !reaches.isEmpty() && !reaches.startsWith(inside))
            return QStringLiteral("left a link leading out: ") + entry.filePath();
    }
    return failure;
}

void tst_BundleDelta::makesTheNewBundleByteForByte()
{
    const QString copy = stagedCopy();
    BundleDelta::apply(m_delta, copy);

    const CodeResources made = BundleSeal::scan(copy, QStringLiteral("x"));
    const CodeResources wanted = BundleSeal::scan(m_new, QStringLiteral("x"));
    QCOMPARE(made.rootMode, wanted.rootMode);
    QCOMPARE(made.entries.size(), wanted.entries.size());
    for (size_t i = 0; i < made.entries.size(); ++i)
        QCOMPARE(CodeResources::encode(made.entries[i].path) + ' ' + made.entries[i].digest.toHex() + ' ' + QByteArray::number(made.entries[i].mode)
                     + ' ' + made.entries[i].target,
                 CodeResources::encode(wanted.entries[i].path) + ' ' + wanted.entries[i].digest.toHex() + ' '
                     + QByteArray::number(wanted.entries[i].mode) + ' ' + wanted.entries[i].target);
    for (const char *name : {"CodeResources", "CodeSignature", "Notarization"})
        QCOMPARE(readBytes(copy + QStringLiteral("/Contents/_CodeSignature/") + QLatin1String(name)),
                 readBytes(m_new + QStringLiteral("/Contents/_CodeSignature/") + QLatin1String(name)));

    // The changed program travelled as a patch, not whole: its 64 KiB of
    // random bytes cannot be compressed.
    QVERIFY2(QFileInfo(m_delta).size() < 16 * 1024, qPrintable(QString::number(QFileInfo(m_delta).size())));
    const DeltaHeader header = BundleDelta::readHeader(m_delta);
    QCOMPARE(header.fromDigest, BundleDelta::resourcesDigest(m_old));
    QCOMPARE(header.toDigest, BundleDelta::resourcesDigest(m_new));
}

void tst_BundleDelta::refusesAMismatchedOrDamagedDelta_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("expected");
    QTest::newRow("truncated") << QStringLiteral("truncated") << QStringLiteral("is cut short");
    QTest::newRow("wrong digest") << QStringLiteral("digest") << QStringLiteral("isn't the one it promised");
    QTest::newRow("trailing bytes") << QStringLiteral("trailing") << QStringLiteral("goes on after its end");
    QTest::newRow("other version") << QStringLiteral("version") << QStringLiteral("of version 2");
    QTest::newRow("changed installed file") << QStringLiteral("installed") << QStringLiteral("doesn't apply");
}

void tst_BundleDelta::refusesAMismatchedOrDamagedDelta()
{
    QFETCH(QString, damage);
    QFETCH(QString, expected);
    QByteArray bytes = readBytes(m_delta);
    if (damage == u"truncated")
        bytes.truncate(bytes.size() / 2);
    else if (damage == u"digest")
        bytes[44] = char(bytes[44] ^ 1);
    else if (damage == u"trailing")
        bytes += zstd("more");
    else if (damage == u"version")
        bytes[8] = 2;
    const QString delta = m_fixture.root() + QStringLiteral("/damaged.delta");
    writeBytes(delta, bytes);

    if (damage == u"installed") {
        // The copy's program differs from the one the patch was made against.
        const QString copy = stagedCopy();
        const QString exe = copy + QStringLiteral("/Contents/bin/Ferrowhistle");
        QByteArray program = readBytes(exe);
        program.truncate(program.size() - 4000);
        writeBytes(exe, program);
        try {
            BundleDelta::apply(delta, copy);
            QFAIL("applied to a changed copy");
        } catch (const DeltaError &e) {
            QVERIFY2(e.description().contains(u"match its seal") || e.description().contains(expected), qPrintable(e.description()));
        }
        return;
    }
    const QString failure = applyFailure(delta);
    QVERIFY2(failure.contains(expected), qPrintable(failure));
}

void tst_BundleDelta::refusesHostileRecords_data()
{
    QTest::addColumn<QByteArray>("records");
    QTest::addColumn<QString>("expected");
    const auto whole = [](const QByteArray &path, const QByteArray &content) {
        return Records().u8('W').text(path).u32(0644).u64(quint64(content.size())).raw(content).bytes();
    };
    QTest::newRow("climbing path") << Records().raw(whole("Contents/../../outside/x", "x")).u8('E').bytes()
                                   << QStringLiteral("leaves the bundle");
    QTest::newRow("absolute path") << Records().raw(whole(path8(m_outside) + "/x", "x")).u8('E').bytes()
                                   << QStringLiteral("leaves the bundle");
    const QByteArray climb = "../../../outside";
    QTest::newRow("path through a link")
        << Records().u8('L').text("Contents/way-out").text(climb).raw(whole("Contents/way-out/x", "x")).u8('E').bytes()
        << QStringLiteral("through a link");
    QTest::newRow("link that leaves") << Records().u8('L').text("Contents/way-out").text(climb).u8('E').bytes()
                                      << QStringLiteral("leads out of the bundle");
    // Folders recorded for their modes, removed, and a link to the outside
    // made where they were: the recorded modes must not follow it.
    QTest::newRow("folder modes through a later link")
        << Records().u8('D').text("x").u32(0755).u8('D').text("x/victim").u32(0755).u8('R').text("x/victim").u8('R').text("x")
               .u8('L').text("x").text("../../outside").u8('E').bytes()
        << QStringLiteral("leads out of the bundle");
    QTest::newRow("folder mode through a link")
        << Records().u8('L').text("Contents/way-out").text(climb).u8('M').text("Contents/way-out/victim").u32(0755).u8('E').bytes()
        << QStringLiteral("through a link");
    QTest::newRow("folder made through a link")
        << Records().u8('L').text("Contents/way-out").text(climb).u8('D').text("Contents/way-out/new").u32(0755).u8('E').bytes()
        << QStringLiteral("through a link");
    QTest::newRow("removal through a link")
        << Records().u8('L').text("Contents/way-out").text(climb).u8('R').text("Contents/way-out/victim/secret").u8('E').bytes()
        << QStringLiteral("through a link");
    QTest::newRow("file replaced through a link")
        << Records().u8('L').text("Contents/way-out").text(climb).raw(whole("Contents/way-out/victim/secret", "changed")).u8('E').bytes()
        << QStringLiteral("through a link");
    QTest::newRow("patch through a link")
        << Records().u8('P').text("Contents/Resources/icon.png").u32(0644).u64(10).u64(9).raw(zstd("0123456789")).u8('E').bytes()
        << QStringLiteral("is a link");
    QTest::newRow("signature folder entry") << Records().raw(whole("Contents/_CodeSignature/CodeResources", "x")).u8('E').bytes()
                                            << QStringLiteral("signature folder");
    QTest::newRow("signature folder removed") << Records().u8('R').text("Contents/_CodeSignature").u8('E').bytes()
                                              << QStringLiteral("signature folder");
    QTest::newRow("unknown signature file") << Records().u8('S').text("../../x").text("x").u8('E').bytes()
                                            << QStringLiteral("unknown signature file");
    QTest::newRow("huge file size") << Records().u8('W').text("Contents/big").u32(0644).u64(quint64(1) << 62).u8('E').bytes()
                                    << QStringLiteral("more than");
    QTest::newRow("huge path length") << Records().u8('W').u32(0xffffffffu).bytes() << QStringLiteral("declares a path of");
    QTest::newRow("huge patch length")
        << Records().u8('P').text("Contents/bin/Ferrowhistle").u32(0755).u64(10).u64(quint64(1) << 60).u8('E').bytes()
        << QStringLiteral("declares a patch of");
    const QByteArray window = frameAskingForHugeWindow();
    QTest::newRow("window past the cap")
        << Records().u8('P').text("Contents/bin/Ferrowhistle").u32(0755).u64(1).u64(quint64(window.size())).raw(window).u8('E').bytes()
        << QStringLiteral("doesn't apply");
    // Declares 100 bytes (within the cap) and makes 5,000.
    const QByteArray tooMuch = zstd(QByteArray(5000, 'z'));
    QTest::newRow("patch makes more than it declares")
        << Records().u8('P').text("Contents/bin/Ferrowhistle").u32(0755).u64(100).u64(quint64(tooMuch.size())).raw(tooMuch).u8('E').bytes()
        << QStringLiteral("makes more than its 100 bytes");
    // Within its declaration, past the cap of any one file (4,096 here).
    QTest::newRow("patch result past the cap")
        << Records().u8('P').text("Contents/bin/Ferrowhistle").u32(0755).u64(5000).u64(quint64(tooMuch.size())).raw(tooMuch).u8('E').bytes()
        << QStringLiteral("more than 4096");
    QTest::newRow("unknown record") << Records().u8('X').bytes() << QStringLiteral("unknown kind");
    QTest::newRow("no end record") << Records().raw(whole("Contents/x", "x")).bytes() << QStringLiteral("cut short");
}

void tst_BundleDelta::refusesHostileRecords()
{
    QFETCH(QByteArray, records);
    QFETCH(QString, expected);
    const DeltaHeader header = BundleDelta::readHeader(m_delta);
    const QString delta = m_fixture.root() + QStringLiteral("/hostile.delta");
    writeBytes(delta, deltaFile(header.fromDigest, header.toDigest, records));
    DeltaLimits limits;
    if (QByteArray(QTest::currentDataTag()) == "patch result past the cap")
        limits.maxFileBytes = 4096;
    const QString failure = applyFailure(delta, limits);
    QVERIFY2(failure.contains(expected), qPrintable(failure));
}

void tst_BundleDelta::writerRefusesAnOldBundleThatDoesNotMatchItsSeal()
{
    const QString changed = m_fixture.root() + QStringLiteral("/changed/Ferrowhistle.app");
    QDir().mkpath(m_fixture.root() + QStringLiteral("/changed"));
    copyTree(m_old, changed);
    writeBytes(changed + QStringLiteral("/Contents/Resources/old-only.txt"), "edited\n");
    try {
        BundleDelta::write(changed, m_new, m_fixture.root() + QStringLiteral("/never.delta"));
        QFAIL("wrote a delta from a bundle that doesn't match its seal");
    } catch (const DeltaError &e) {
        QVERIFY2(e.description().contains(u"doesn't match its seal"), qPrintable(e.description()));
    }
    QVERIFY(!QFile::exists(m_fixture.root() + QStringLiteral("/never.delta")));
}

// A folder that can be listed but not searched answers every look inside it
// with EACCES: the apply must say so, not keep asking for another name.
void tst_BundleDelta::failsWhereAFolderCannotBeSearched()
{
    const DeltaHeader header = BundleDelta::readHeader(m_delta);
    const QString delta = m_fixture.root() + QStringLiteral("/closed.delta");
    writeBytes(delta, deltaFile(header.fromDigest, header.toDigest,
                                Records().u8('W').text("Contents/closed/x").u32(0644).u64(1).raw("x").u8('E').bytes()));
    const QString copy = stagedCopy();
    const QString closed = copy + QStringLiteral("/Contents/closed");
    QVERIFY(QDir().mkpath(closed));
    QVERIFY(::chmod(path8(closed), 0600) == 0);
    QString failure;
    {
        const PermissionBitsApply bits;
        if (!bits.ok())
            QSKIP("this thread's capabilities can't be lowered");
        try {
            BundleDelta::apply(delta, copy);
        } catch (const DeltaError &e) {
            failure = e.description();
        }
    }
    QVERIFY(::chmod(path8(closed), 0700) == 0);
    QVERIFY2(failure.contains(u"couldn't write Contents/closed/x") && failure.contains(QString::fromLocal8Bit(::strerror(EACCES))),
             qPrintable(failure));
}

QTEST_GUILESS_MAIN(tst_BundleDelta)
#include "tst_BundleDelta.moc"
