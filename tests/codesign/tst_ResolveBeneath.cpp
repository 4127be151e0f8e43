// Where links below a bundle folder lead, answered by the kernel and by the
// component walk used where the kernel's call is missing or forbidden. Both
// are held to the same hostile layouts: links that climb out (even to come
// back in), folders mid-path that are links, loops and dead ends.

#include "codesign/ResolveBeneath.h"

#include "platform/UniqueFd.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PathReach)

namespace {

void writeFile(const QString &path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("x");
}

void link(const char *target, const QString &at) { QCOMPARE(::symlink(target, QFile::encodeName(at).constData()), 0); }

} // namespace

class tst_ResolveBeneath : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { forceComponentResolution(false); }

    void reach_data();
    void reach();
    void answersFollowTheDisk_data();
    void answersFollowTheDisk();

private:
    TestEnvironment m_env;
    QString m_app;
    UniqueFd m_root;
};

void tst_ResolveBeneath::initTestCase()
{
    m_app = m_env.root() + QStringLiteral("/Ferrowhistle.app");
    const QString c = m_app + QStringLiteral("/Contents/");
    QVERIFY(QDir().mkpath(c + QStringLiteral("Resources/icons")));
    QVERIFY(QDir().mkpath(c + QStringLiteral("Resources/sub")));
    QVERIFY(QDir().mkpath(m_env.root() + QStringLiteral("/outside")));
    writeFile(c + QStringLiteral("Info.plist"));
    writeFile(c + QStringLiteral("Resources/icons/a.png"));
    writeFile(m_env.root() + QStringLiteral("/outside/f"));

    link("Info.plist", c + QStringLiteral("sibling"));
    link("Resources", c + QStringLiteral("res"));
    link("Resources/sub", c + QStringLiteral("deep"));
    link("../../../outside", c + QStringLiteral("Resources/out"));
    link("/etc", c + QStringLiteral("abs"));
    link("../../x", c + QStringLiteral("up"));
    link("../../Ferrowhistle.app/Contents/Info.plist", c + QStringLiteral("again"));
    link("../../..", c + QStringLiteral("Resources/sub/top"));
    link("top/../../../..", c + QStringLiteral("Resources/sub/beyond"));
    link("none", c + QStringLiteral("dangling"));
    link("loop-b", c + QStringLiteral("loop-a"));
    link("loop-a", c + QStringLiteral("loop-b"));
    link("Info.plist/", c + QStringLiteral("file-as-folder"));
    link("..", c + QStringLiteral("parent"));
    link("../..", c + QStringLiteral("grandparent"));
    // Chains of links: the kernel follows at most 40 in one resolution.
    for (int i = 1; i <= 45; ++i)
        link(QByteArray("chain" + QByteArray::number(i - 1)).constData(), c + QStringLiteral("chain%1").arg(i));
    writeFile(c + QStringLiteral("chain0"));

    m_root = UniqueFd(::open(QFile::encodeName(m_app).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QVERIFY(m_root.valid());
}

void tst_ResolveBeneath::reach_data()
{
    QTest::addColumn<bool>("components");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<PathReach>("expected");
    const struct {
        const char *name;
        const char *path;
        PathReach expected;
    } cases[] = {
        {"plain file", "Contents/Info.plist", PathReach::Inside},
        {"link to a sibling", "Contents/sibling", PathReach::Inside},
        {"linked folder mid-path", "Contents/res/icons/a.png", PathReach::Inside},
        {"linked folder mid-path leading out", "Contents/Resources/out/f", PathReach::Outside},
        {"absolute link mid-path", "Contents/abs/passwd", PathReach::Outside},
        {"absolute link", "Contents/abs", PathReach::Outside},
        {"climbing out", "Contents/up", PathReach::Outside},
        {"out and back in", "Contents/again", PathReach::Outside},
        {"up to the folder through a link", "Contents/Resources/sub/top", PathReach::Inside},
        {"beyond the folder through a link", "Contents/Resources/sub/beyond", PathReach::Outside},
        {"dot-dot after a linked folder is the link target's parent", "Contents/deep/../icons/a.png", PathReach::Inside},
        {"dot-dot above the folder in the path itself", "Contents/../../x", PathReach::Outside},
        {"the folder itself", "Contents/parent", PathReach::Inside},
        {"the folder's parent", "Contents/grandparent", PathReach::Outside},
        {"dangling link", "Contents/dangling", PathReach::Nowhere},
        {"missing folder mid-path", "Contents/nope/../Info.plist", PathReach::Nowhere},
        {"loop", "Contents/loop-a", PathReach::Nowhere},
        {"file used as a folder", "Contents/file-as-folder", PathReach::Nowhere},
        {"file used as a folder in the path", "Contents/Info.plist/x", PathReach::Nowhere},
        {"chain of 40 links", "Contents/chain40", PathReach::Inside},
        {"chain of 41 links", "Contents/chain41", PathReach::Nowhere},
    };
    for (const auto &c : cases) {
        QTest::addRow("kernel: %s", c.name) << false << QByteArray(c.path) << c.expected;
        QTest::addRow("component walk: %s", c.name) << true << QByteArray(c.path) << c.expected;
    }
}

void tst_ResolveBeneath::reach()
{
    QFETCH(bool, components);
    QFETCH(QByteArray, path);
    QFETCH(PathReach, expected);
    forceComponentResolution(components);
    QCOMPARE(reachBeneath(m_root.get(), path), expected);
    QCOMPARE(reachBeneathByComponents(m_root.get(), path), expected);
}

void tst_ResolveBeneath::answersFollowTheDisk_data()
{
    QTest::addColumn<bool>("components");
    QTest::newRow("kernel") << false;
    QTest::newRow("component walk") << true;
}

void tst_ResolveBeneath::answersFollowTheDisk()
{
    // A folder mid-path swapped for a link that leads out, and back: each
    // answer is about the disk as it is now, nothing is remembered.
    QFETCH(bool, components);
    forceComponentResolution(components);
    const QString work = m_app + QStringLiteral("/Contents/Resources/swapped");
    const QByteArray path = "Contents/Resources/swapped/f";
    QVERIFY(QDir().mkpath(work));
    writeFile(work + QStringLiteral("/f"));
    QCOMPARE(reachBeneath(m_root.get(), path), PathReach::Inside);

    QVERIFY(QDir(work).removeRecursively());
    link("../../../outside", work);
    QCOMPARE(reachBeneath(m_root.get(), path), PathReach::Outside);

    QVERIFY(QFile::remove(work));
    QVERIFY(QDir().mkpath(work));
    writeFile(work + QStringLiteral("/f"));
    QCOMPARE(reachBeneath(m_root.get(), path), PathReach::Inside);
    QVERIFY(QDir(work).removeRecursively());
}

QTEST_GUILESS_MAIN(tst_ResolveBeneath)
#include "tst_ResolveBeneath.moc"
