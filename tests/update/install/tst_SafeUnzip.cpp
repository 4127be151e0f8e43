// Unpacking a release archive that nobody vouches for yet: what a packer
// would make comes out with safe modes, and every hostile shape is refused
// without anything appearing outside the folder it unpacks into.

#include "ZipWriter.h"

#include "support/TestEnvironment.h"
#include "release/UpdaterFailure.h"
#include "update/install/SafeUnzip.h"

#include <QtTest>

#include <sys/stat.h>

namespace {

struct Node {
    char type;       // d, f, l
    unsigned mode;   // permission bits; 0 for links
    QByteArray data; // file contents or link target
    bool operator==(const Node &) const = default;
};

// Everything below root, without following links.
QMap<QString, Node> treeOf(const QString &root)
{
    QMap<QString, Node> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        Node n{'?', unsigned(st.st_mode & 07777), {}};
        if (S_ISDIR(st.st_mode)) {
            n.type = 'd';
        } else if (S_ISLNK(st.st_mode)) {
            n = {'l', 0, QFile::encodeName(QFile::symLinkTarget(path))};
            char buf[4096];
            const ssize_t len = ::readlink(QFile::encodeName(path).constData(), buf, sizeof buf);
            n.data = QByteArray(buf, len > 0 ? len : 0);
        } else if (S_ISREG(st.st_mode)) {
            n.type = 'f';
            QFile f(path);
            if (f.open(QIODevice::ReadOnly))
                n.data = f.readAll();
        }
        tree.insert(path.mid(root.size() + 1), n);
    }
    return tree;
}

// Unpacks and returns the refusal's sentence (empty when it unpacked).
QString unzipOutcome(const QString &zip, const QString &dest, const UnzipLimits &limits = {})
{
    try {
        safeUnzip(zip, dest, limits);
    } catch (const UpdaterFailure &f) {
        return f.message();
    } catch (const PlatformError &e) {
        return QStringLiteral("platform: ") + e.localizedDescription();
    }
    return {};
}

// Changes the Unix file type of every entry with mode `from` in the central
// directory: libarchive writes no FIFOs or devices into a zip, but a hostile
// server can.
void patchUnixMode(QByteArray &zip, unsigned from, unsigned to)
{
    for (qsizetype at = zip.indexOf("PK\x01\x02"); at >= 0 && at + 46 <= zip.size(); at = zip.indexOf("PK\x01\x02", at + 4)) {
        char *attr = zip.data() + at + 38 + 2; // high half of the external attributes
        const unsigned mode = unsigned(uchar(attr[0])) | unsigned(uchar(attr[1])) << 8;
        if (mode == from) {
            attr[0] = char(to & 0xff);
            attr[1] = char(to >> 8);
        }
    }
}

} // namespace

class tst_SafeUnzip : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    int m_n = 0;
    QString fresh() { return m_env.root() + QStringLiteral("/case%1").arg(++m_n); }

private Q_SLOTS:
    void honestArchiveComesOutWithSafeModes();
    void umaskApplies();
    void hostileArchivesAreRefused_data();
    void hostileArchivesAreRefused();
    void limitsCountWhatIsWritten();
    void notAZip();
};

void tst_SafeUnzip::honestArchiveComesOutWithSafeModes()
{
    const QString dir = fresh();
    QDir().mkpath(dir);
    const QString zip = dir + "/a.zip";
    QCOMPARE(writeZip(zip, {zipFolder("App.app/", 0777), zipFile("App.app/Contents/bin/tool", "#!/bin/sh\n", 04777),
                            zipFile("App.app/Contents/Info.plist", "<plist/>", 0666), zipFile("./App.app/Contents/secret", "s", 0600),
                            zipFolder("App.app/Contents/Closed/", 0555), zipFile("App.app/Contents/Closed/inside", "i", 0644),
                            zipLink("App.app/Contents/icon.png", "Closed/inside"), zipFile("App.app/Contents/empty", "", 0644)}),
             QString());
    const QString dest = dir + "/out";
    QCOMPARE(unzipOutcome(zip, dest), QString());

    const QMap<QString, Node> tree = treeOf(dest);
    const QMap<QString, Node> expected{
        {"App.app", {'d', 0755, {}}},
        {"App.app/Contents", {'d', 0755, {}}}, // made on the way, never listed
        {"App.app/Contents/bin", {'d', 0755, {}}},
        // set-uid and group/world write never survive
        {"App.app/Contents/bin/tool", {'f', 0755, "#!/bin/sh\n"}},
        {"App.app/Contents/Info.plist", {'f', 0644, "<plist/>"}},
        {"App.app/Contents/secret", {'f', 0600, "s"}},
        {"App.app/Contents/Closed", {'d', 0555, {}}},
        {"App.app/Contents/Closed/inside", {'f', 0644, "i"}},
        {"App.app/Contents/icon.png", {'l', 0, "Closed/inside"}},
        {"App.app/Contents/empty", {'f', 0644, ""}},
    };
    QCOMPARE(tree.keys(), expected.keys());
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        const Node got = tree.value(it.key());
        QVERIFY2(got == *it, qPrintable(QStringLiteral("%1: %2 %3").arg(it.key()).arg(QChar(got.type)).arg(got.mode, 0, 8)));
    }
}

void tst_SafeUnzip::umaskApplies()
{
    const QString dir = fresh();
    QDir().mkpath(dir);
    const QString zip = dir + "/a.zip";
    QCOMPARE(writeZip(zip, {zipFile("A/x", "x", 0755), zipFile("A/y", "y", 0644)}), QString());
    const mode_t old = ::umask(077);
    QCOMPARE(currentUmask(), 077u);
    const QString outcome = unzipOutcome(zip, dir + "/out");
    ::umask(old);
    QCOMPARE(outcome, QString());
    const QMap<QString, Node> tree = treeOf(dir + "/out");
    QCOMPARE(tree.value("A").mode, 0700u);
    QCOMPARE(tree.value("A/x").mode, 0700u);
    QCOMPARE(tree.value("A/y").mode, 0600u);
}

void tst_SafeUnzip::hostileArchivesAreRefused_data()
{
    QTest::addColumn<std::vector<ZipEntry>>("entries");
    QTest::addColumn<unsigned>("patchTo"); // a file type to give the 0100644 entries; 0: none
    QTest::addColumn<QString>("refusal");

    auto row = [](const char *name, std::vector<ZipEntry> e, QString refusal, unsigned patchTo = 0) {
        QTest::newRow(name) << e << patchTo << refusal;
    };
    const QString tail = QStringLiteral(", so it wasn't installed.");
    row("absolute path", {zipFile("/tmp/evil", "x")}, "The download holds an entry with an absolute path (/tmp/evil)" + tail);
    row("zip-slip", {zipFile("A/../../evil", "x")}, "The download holds an entry that climbs out of its folder (A/../../evil)" + tail);
    row("dot-dot alone", {zipFile("..", "x")}, "The download holds an entry that climbs out of its folder (..)" + tail);
    row("link out, then write through it",
        {zipLink("A/out", "../.."), zipFile("A/out/evil", "x")},
        "The download holds a symbolic link that leads out of its folder (A/out)" + tail);
    row("link inside, then write through it",
        {zipFolder("A/sub/"), zipLink("A/in", "sub"), zipFile("A/in/evil", "x")},
        "The download holds an entry under a symbolic link (A/in/evil)" + tail);
    row("absolute link", {zipLink("A/etc", "/etc")}, "The download holds a symbolic link that leads out of its folder (A/etc)" + tail);
    // Each link looks harmless by its text; followed, the second climbs out.
    row("links that climb out together",
        {zipFolder("p/q/"), zipLink("p/q/b", ".."), zipLink("a", "p/q/b/../../..")},
        "The download holds a symbolic link that leads out of its folder (a)" + tail);
    // Followed, these step out of the folder and come back in (through
    // stage/out): inside as far as the disk goes, but what they mean
    // depends on where the folder sits, and the seal refuses them later.
    row("link that leaves and comes back",
        {zipFolder("p/q/"), zipFile("p/x", "x"), zipLink("p/q/b", ".."), zipLink("a", "p/q/b/../../out/p/x")},
        "The download holds a symbolic link that leads out of its folder (a)" + tail);
    row("link that leaves and comes back to the folder itself",
        {zipFolder("p/q/"), zipLink("p/q/b", ".."), zipLink("a", "p/q/b/../../out")},
        "The download holds a symbolic link that leads out of its folder (a)" + tail);
    row("dangling link", {zipLink("A/gone", "missing")}, "The download holds a symbolic link that points to nothing (A/gone)" + tail);
    row("file given twice", {zipFile("A/x", "1"), zipFile("A/x", "2")}, "The download holds A/x twice" + tail);
    row("file inside a file", {zipFile("A/x", "1"), zipFile("A/x/y", "2")}, "The download holds an entry inside a file (A/x/y)" + tail);
    // (libarchive reads a FIFO's mode in a zip as a plain file's.)
    row("character device", {zipFile("A/null", "")}, "The download holds a device, FIFO or socket (A/null)" + tail, 0020644);
    row("control characters in a name", {zipFile("/x\ny", "")}, "The download holds an entry with an absolute path (/x\\u000ay)" + tail);
}

void tst_SafeUnzip::hostileArchivesAreRefused()
{
    QFETCH(std::vector<ZipEntry>, entries);
    QFETCH(unsigned, patchTo);
    QFETCH(QString, refusal);
    const QString dir = fresh();
    // The unpacking happens two levels down, so that a climb of one or two
    // levels would land in folders this test watches.
    const QString dest = dir + "/stage/out";
    QDir().mkpath(dir + "/stage");
    const QString zip = dir + "/a.zip";
    QCOMPARE(writeZip(zip, entries), QString());
    if (patchTo) {
        QFile f(zip);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QByteArray bytes = f.readAll();
        f.close();
        patchUnixMode(bytes, 0100644, patchTo);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    const QStringList before = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    QCOMPARE(unzipOutcome(zip, dest), refusal);
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    QCOMPARE(QDir(dir + "/stage").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"out"});
    QVERIFY(!QFileInfo::exists("/tmp/evil"));
}

void tst_SafeUnzip::limitsCountWhatIsWritten()
{
    const QString dir = fresh();
    QDir().mkpath(dir);
    const QString zip = dir + "/a.zip";
    // Four entries of 400 bytes: highly compressible, so the archive is far
    // smaller than what it unpacks to.
    QCOMPARE(writeZip(zip, {zipFile("A/1", QByteArray(400, 'a')), zipFile("A/2", QByteArray(400, 'a')),
                            zipFile("A/3", QByteArray(400, 'a')), zipFile("A/4", QByteArray(400, 'a'))}),
             QString());
    QVERIFY(QFileInfo(zip).size() < 1600);
    QCOMPARE(unzipOutcome(zip, dir + "/ok", {4, 1600}), QString());
    QCOMPARE(unzipOutcome(zip, dir + "/entries", {3, 1600}),
             QStringLiteral("The download holds more than 3 entries, so it wasn't installed."));
    QCOMPARE(unzipOutcome(zip, dir + "/bytes", {4, 1599}),
             QStringLiteral("The download unpacks to more than 1599 bytes, so it wasn't installed."));
}

void tst_SafeUnzip::notAZip()
{
    const QString dir = fresh();
    QDir().mkpath(dir);
    QFile f(dir + "/a.zip");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(5000, 'n'));
    f.close();
    QVERIFY(unzipOutcome(dir + "/a.zip", dir + "/out").startsWith(QStringLiteral("platform: The download couldn't be unpacked: ")));
    // An existing destination is never unpacked into.
    QDir().mkpath(dir + "/taken");
    QVERIFY(unzipOutcome(dir + "/a.zip", dir + "/taken").startsWith(QStringLiteral("platform: ")));
}

QTEST_GUILESS_MAIN(tst_SafeUnzip)
#include "tst_SafeUnzip.moc"
