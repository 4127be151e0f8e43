// The last launch step: the shared updater exists and its automatic checks
// have started once launching has finished.

#include "app/AppDelegate.h"
#include "platform/DefaultsStore.h"
#include "support/TestEnvironment.h"
#include "update/Updater.h"

#include <QtTest>

class tst_LaunchCompletion : public QObject {
    Q_OBJECT
    TestEnvironment m_env;

private Q_SLOTS:
    void finishingLaunchStartsTheUpdater()
    {
        // Off, so that the real loop never reaches for the built-in feed.
        DefaultsStore::standard().setValue(Updater::kAutomaticCheckKey, false);
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        Updater &updater = Updater::shared();
        QVERIFY(updater.automaticChecksStarted());
        QVERIFY(!updater.automatic());
        QCOMPARE(updater.state(), Updater::State::idle());
        QCOMPARE(&updater, &Updater::shared());
    }
};

QTEST_MAIN(tst_LaunchCompletion)
#include "tst_LaunchCompletion.moc"
