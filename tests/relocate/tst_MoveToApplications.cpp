// The offer to move the app into ~/Applications, answered with real key
// presses: which question is asked, Not Now changing nothing, a move that
// leaves an identical, verifying copy registered with the desktop, and the
// notices when the copy or the restart fails.
#include "../codesign/SigningFixture.h"

#include "codesign/CodeSigning.h"
#include "location/DesktopIntegration.h"
#include "platform/SystemLog.h"
#include "relocate/BundleMove.h"
#include "relocate/MoveToApplications.h"
#include "support/FileTrees.h"
#include "support/TestEnvironment.h"
#include "update/Updater.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

// Where the copy runs and how it is started again, as the app passes them.
struct MoveSetup {
    AppLocation where;
    Relauncher relauncher;
    QList<LauncherAction> launcherActions{{QStringLiteral("settings"), QStringLiteral("Settings\u2026")}};
};

QCoro::Task<> offerAndNote(const MoveSetup &setup, bool &done)
{
    auto offer = offerMoveToApplications(setup.where, setup.relauncher, setup.launcherActions);
    co_await std::move(offer);
    done = true;
}

QMessageBox *openBox()
{
    if (!QTest::qWaitFor([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()) != nullptr; }, 30000))
        return nullptr;
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    // Keys go where a user's would: to the window once it is up and active.
    if (!QTest::qWaitForWindowExposed(box))
        return nullptr;
    return box;
}

// The box that follows the question.
QMessageBox *openNotice()
{
    const auto isNotice = [] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        return box && box->buttons().size() == 1;
    };
    if (!QTest::qWaitFor(isNotice, 60000))
        return nullptr;
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    return QTest::qWaitForWindowExposed(box) ? box : nullptr;
}

// Makes the offer, answers "Move to Applications" and gives the notice that
// follows.
QMessageBox *acceptAndAwaitNotice(const MoveSetup &setup, bool &done)
{
    offerAndNote(setup, done);
    QMessageBox *box = openBox();
    if (!box)
        return nullptr;
    QTest::keyClick(box, Qt::Key_Return);
    return openNotice();
}

QStringList buttonTexts(QMessageBox *box)
{
    QStringList texts;
    for (QAbstractButton *b : box->buttons())
        texts << b->text();
    texts.sort();
    return texts;
}

} // namespace

class tst_MoveToApplications : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    SigningFixture m_fixture;
    QString m_home;
    QString m_applications;
    QStringList m_log;
    int m_terminated = 0;

    MoveSetup setupFor(const QString &bundle, const QString &shell = QStringLiteral("/bin/sh"))
    {
        return {AppLocation{bundle, {m_fixture.root() + QStringLiteral("/media/")}},
                Relauncher{shell, [this] { ++m_terminated; }}};
    }
    // For the sweep at start.
    std::unique_ptr<Updater> updaterFor(const QString &bundle, const QString &shell = QStringLiteral("/bin/sh"))
    {
        Updater::Environment env;
        env.bundle = Bundle::atPath(bundle);
        env.mediaPrefixes = {m_fixture.root() + QStringLiteral("/media/")};
        env.terminate = [this] { ++m_terminated; };
        env.relaunchShell = shell;
        return std::make_unique<Updater>(std::move(env));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_home = m_env.root() + QStringLiteral("/home");
        m_applications = m_home + QStringLiteral("/Applications");
        QVERIFY(QDir().mkpath(m_home));
        qputenv("HOME", QFile::encodeName(m_home));
        setSystemLogSink([this](const SystemLogEntry &e) { m_log << e.message; });
    }
    void cleanupTestCase() { setSystemLogSink({}); }
    void init()
    {
        m_log.clear();
        m_terminated = 0;
        QDir(m_applications).removeRecursively();
        QDir(m_env.root() + QStringLiteral("/data")).removeRecursively();
    }

    void asksOnlyFromRemovableMedia();
    void notNowChangesNothing();
    void movesFromReadOnlyMedia();
    void replacesAnExistingCopy();
    void failureTellsTheUserToDragItOver();
    void copyInPlaceButNotRestartedSaysSo();
    void anInterruptedMoveLeavesAWholeCopy_data();
    void anInterruptedMoveLeavesAWholeCopy();
};

void tst_MoveToApplications::asksOnlyFromRemovableMedia()
{
    const QString app = m_fixture.makeBundle(QStringLiteral("desk"));
    const MoveSetup setup = setupFor(app);
    bool done = false;
    offerAndNote(setup, done);
    // Finished there and then, without a question.
    QVERIFY(done);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(!QDir(m_applications).exists());
}

void tst_MoveToApplications::notNowChangesNothing()
{
    const QString app = m_fixture.makeSignedBundle(QStringLiteral("media/Stick"));
    QVERIFY(QDir().mkpath(m_applications));
    QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), m_fixture.makeBundle(QStringLiteral("older")), m_applications});
    const auto home = snapshotTree(m_home);
    const auto source = snapshotTree(app);

    const MoveSetup setup = setupFor(app);
    bool done = false;
    offerAndNote(setup, done);
    QMessageBox *box = openBox();
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Move Ferrowhistle to Applications?"));
    // A copy is there already: the question says it will be replaced.
    QCOMPARE(box->informativeText(), QStringLiteral("It's running from the disk image, where it can't keep itself up to "
                                                    "date. This replaces the copy already in Applications."));
    QCOMPARE(buttonTexts(box), (QStringList{QStringLiteral("Move to Applications"), QStringLiteral("Not Now")}));
    QCOMPARE(box->defaultButton()->text(), QStringLiteral("Move to Applications"));
    QCOMPARE(box->escapeButton()->text(), QStringLiteral("Not Now"));
    QVERIFY(box->windowModality() == Qt::ApplicationModal);
    QVERIFY(!box->iconPixmap().isNull());

    QTest::keyClick(box, Qt::Key_Escape);
    QTRY_VERIFY(done);
    QCOMPARE(snapshotTree(m_home), home);
    QCOMPARE(snapshotTree(app), source);
    QCOMPARE(m_terminated, 0);
    QCOMPARE(m_log, QStringList());
}

void tst_MoveToApplications::movesFromReadOnlyMedia()
{
    // The usual case: a medium nobody may write, with something under the
    // staging prefix beside the app that is not ours to sweep.
    const QString made = m_fixture.makeSignedBundle(QStringLiteral("build/Stick"));
    QVERIFY(QDir().mkpath(m_fixture.root() + QStringLiteral("/build/Stick/.Ferrowhistle-move-stray.app")));
    const QString medium = m_fixture.root() + QStringLiteral("/media/ReadOnly Stick");
    ReadOnlyFolder readOnly(medium, m_fixture.root() + QStringLiteral("/build/Stick/."));
    QVERIFY2(readOnly.error().isEmpty(), qPrintable(readOnly.error()));
    const QString app = medium + QStringLiteral("/Ferrowhistle.app");
    QCOMPARE(snapshotTree(app), snapshotTree(made));
    const auto mediumBefore = snapshotTree(medium);

    const MoveSetup setup = setupFor(app);
    // The sweep at start leaves a read-only folder alone, and quietly.
    updaterFor(app)->removeLeftovers();
    QCOMPARE(m_log, QStringList());

    bool done = false;
    offerAndNote(setup, done);
    QMessageBox *box = openBox();
    QVERIFY(box);
    QCOMPARE(box->informativeText(), QStringLiteral("It's running from the disk image, where it can't keep itself up to date."));
    QTest::keyClick(box, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(done, 60000);

    const QString moved = m_applications + QStringLiteral("/Ferrowhistle.app");
    QCOMPARE(snapshotTree(moved), snapshotTree(app));
    verifySignature(moved, Bundle::atPath(moved));
    QCOMPARE(snapshotTree(medium), mediumBefore);
    QCOMPARE(entriesWithPrefix(m_applications, QStringLiteral(".Ferrowhistle-move-")), QStringList());
    QCOMPARE(m_log, QStringList{QStringLiteral("Moved to ") + moved + QStringLiteral(" from the disk image; relaunching")});
    QCOMPARE(m_terminated, 1);

    // The launcher and D-Bus activation now start the moved copy.
    const QString dataHome = m_env.root() + QStringLiteral("/data");
    const QByteArray entry = desktopEntryText(moved + QStringLiteral("/Contents/bin/Ferrowhistle"), QStringLiteral("/icon.png"), {});
    const qsizetype exec = entry.indexOf("\nExec=");
    const QByteArray written = readBytes(desktopEntryPath(dataHome));
    QVERIFY(written.contains(entry.mid(exec, entry.indexOf('\n', exec + 1) - exec)));
    // With the actions the app gave the move.
    QVERIFY(written.contains("\nActions=settings;\n"));
    QVERIFY(written.contains("\n[Desktop Action settings]\nName=Settings\xe2\x80\xa6\n"));
    QVERIFY(readBytes(dbusServicePath(dataHome)).contains(moved.toUtf8()));
}

void tst_MoveToApplications::replacesAnExistingCopy()
{
    const QString app = m_fixture.makeSignedBundle(QStringLiteral("media/Other"));
    QVERIFY(QDir().mkpath(m_applications));
    const QString moved = m_applications + QStringLiteral("/Ferrowhistle.app");
    QVERIFY(QDir().mkpath(moved + QStringLiteral("/Contents/Resources/stale")));
    // An old copy with a folder nobody may write: still replaced whole.
    QFile::setPermissions(moved + QStringLiteral("/Contents/Resources"), QFile::ReadOwner | QFile::ExeOwner);

    const MoveSetup setup = setupFor(app);
    bool done = false;
    offerAndNote(setup, done);
    QMessageBox *box = openBox();
    QVERIFY(box);
    QVERIFY(box->informativeText().endsWith(QStringLiteral(" This replaces the copy already in Applications.")));
    QTest::keyClick(box, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(done, 60000);

    QCOMPARE(snapshotTree(moved), snapshotTree(app));
    QCOMPARE(entriesWithPrefix(m_applications, QStringLiteral(".Ferrowhistle-move-")), QStringList());
    QCOMPARE(m_terminated, 1);
}

void tst_MoveToApplications::failureTellsTheUserToDragItOver()
{
    const QString app = m_fixture.makeSignedBundle(QStringLiteral("media/Third"));
    ReadOnlyFolder readOnly(m_applications, QString());
    QVERIFY2(readOnly.error().isEmpty(), qPrintable(readOnly.error()));

    const MoveSetup setup = setupFor(app);
    bool done = false;
    QMessageBox *notice = acceptAndAwaitNotice(setup, done);
    QVERIFY(notice);
    QCOMPARE(notice->text(), QStringLiteral("Couldn't move Ferrowhistle"));
    const QString text = notice->informativeText();
    QVERIFY2(text.contains(QString::fromLocal8Bit(std::strerror(EROFS))) || text.contains(QString::fromLocal8Bit(std::strerror(EACCES))),
             qPrintable(text));
    QVERIFY2(text.endsWith(QStringLiteral(". Drag it from the disk image to Applications yourself.")), qPrintable(text));
    QVERIFY(!done);
    QTest::keyClick(notice, Qt::Key_Return);
    QTRY_VERIFY(done);
    QCOMPARE(m_terminated, 0);
    QCOMPARE(QDir(m_applications).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void tst_MoveToApplications::copyInPlaceButNotRestartedSaysSo()
{
    const QString app = m_fixture.makeSignedBundle(QStringLiteral("media/Fourth"));
    const MoveSetup setup = setupFor(app, m_env.root() + QStringLiteral("/no-such-shell"));
    bool done = false;
    QMessageBox *notice = acceptAndAwaitNotice(setup, done);
    QVERIFY(notice);
    // The copy is in place; the notice says so instead of asking the user to
    // drag it over.
    QCOMPARE(notice->text(), QStringLiteral("Couldn't restart Ferrowhistle"));
    QVERIFY2(notice->informativeText().endsWith(QStringLiteral(". It's now in Applications: start it from there.")),
             qPrintable(notice->informativeText()));
    QVERIFY(!notice->informativeText().contains(QStringLiteral("Drag")));
    QTest::keyClick(notice, Qt::Key_Return);
    QTRY_VERIFY(done);
    QCOMPARE(m_terminated, 0);
    QCOMPARE(snapshotTree(m_applications + QStringLiteral("/Ferrowhistle.app")), snapshotTree(app));
}

void tst_MoveToApplications::anInterruptedMoveLeavesAWholeCopy_data()
{
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<AtomicSwap::Step>("step");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("before the exchange") << false << AtomicSwap::Step::BeforeExchange << false;
    QTest::newRow("after the exchange") << false << AtomicSwap::Step::AfterExchange << true;
    QTest::newRow("moved aside") << true << AtomicSwap::Step::BeforeMoveIn << false;
    QTest::newRow("moved in") << true << AtomicSwap::Step::AfterMoveIn << true;
}

void tst_MoveToApplications::anInterruptedMoveLeavesAWholeCopy()
{
    // The process dies at a step of the swap (the hook stands for the kill):
    // the destination holds one whole copy, old or new, and the next start
    // from there sweeps what the move left.
    QFETCH(bool, fallback);
    QFETCH(AtomicSwap::Step, step);
    QFETCH(bool, replaced);
    const QString app = m_fixture.makeSignedBundle(QStringLiteral("media/Fifth"));
    const QString old = m_fixture.makeBundle(QStringLiteral("old"));
    QVERIFY(QDir().mkpath(m_applications));
    QCOMPARE(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), old, m_applications + u'/'}), 0);
    const BundleMove move = BundleMove::into(app, m_applications);

    struct Killed {};
    AtomicSwap::forceFallbackForTesting(fallback);
    try {
        move.run([step](AtomicSwap::Step s) {
            if (s == step)
                throw Killed{};
        });
        QFAIL("the move ran past the step");
    } catch (const Killed &) {
    }
    AtomicSwap::forceFallbackForTesting(false);
    // Between moving aside and moving in, the fallback has no copy in place:
    // the one moment the exchange exists to avoid. The medium still has it.
    if (step != AtomicSwap::Step::BeforeMoveIn)
        QCOMPARE(snapshotTree(move.destination), snapshotTree(replaced ? app : old));
    else
        QVERIFY(!QFileInfo::exists(move.destination));

    auto next = updaterFor(move.destination);
    next->removeLeftovers();
    QCOMPARE(entriesWithPrefix(m_applications, QStringLiteral(".Ferrowhistle-move-")), QStringList());
}

QTEST_MAIN(tst_MoveToApplications)
#include "tst_MoveToApplications.moc"
