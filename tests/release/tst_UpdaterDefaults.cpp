// The failed-builds list of the real settings file, added to by several
// writers at once, as start watches of two sessions (or a watch and the
// settings tool) may: every build stays in it.

#include "platform/DefaultsStore.h"
#include "release/UpdaterDefaults.h"
#include "support/TestEnvironment.h"

#include <QtTest>

#include <thread>
#include <vector>

using namespace std::chrono_literals;

class tst_UpdaterDefaults : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    const DefaultsStore m_store = DefaultsStore::standard();

private Q_SLOTS:
    void init() { QDir(QFileInfo(m_store.path()).absolutePath()).removeRecursively(); }

    void rolledBackBuildsAreAllKept_data()
    {
        QTest::addColumn<QVariant>("before");
        QTest::addColumn<QList<qint64>>("kept");
        QTest::newRow("no list yet") << QVariant() << QList<qint64>{};
        QTest::newRow("a list of the user's") << QVariant(QStringLiteral("7 9")) << QList<qint64>{7, 9};
        // Not a string: what the updater would not read is replaced.
        QTest::newRow("a value of another type") << QVariant(true) << QList<qint64>{};
    }

    void rolledBackBuildsAreAllKept()
    {
        QFETCH(QVariant, before);
        QFETCH(QList<qint64>, kept);
        if (before.isValid())
            m_store.setValue(UpdaterDefaults::failedBuildsKey(), before);

        constexpr int kWriters = 4;
        constexpr int kEach = 10;
        std::vector<std::thread> writers;
        QAtomicInt failures;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&, w] {
                for (int i = 0; i < kEach; ++i) {
                    try {
                        const qint64 build = 1000 + w * 100 + i;
                        UpdaterDefaults::recordRolledBack(m_store, {build, QStringLiteral("1.0.%1").arg(build)}, 120s);
                    } catch (const DefaultsStoreError &) {
                        failures.ref();
                    }
                }
            });
        }
        for (std::thread &t : writers)
            t.join();
        QCOMPARE(failures.loadRelaxed(), 0);

        const QList<qint64> list = UpdaterDefaults::buildList(m_store.string(UpdaterDefaults::failedBuildsKey()));
        QCOMPARE(list.size(), kept.size() + kWriters * kEach);
        for (const qint64 build : kept)
            QVERIFY(list.contains(build));
        // The one put back last is the last in the list.
        const std::optional<UpdaterDefaults::RolledBack> last =
            UpdaterDefaults::parseRolledBack(m_store.string(UpdaterDefaults::rolledBackKey()));
        QVERIFY(last);
        QCOMPARE(last->build, list.last());

        // Once more for a build already there: the list stays as it is.
        UpdaterDefaults::recordRolledBack(m_store, {list.first(), QStringLiteral("x")}, 120s);
        QCOMPARE(UpdaterDefaults::buildList(m_store.string(UpdaterDefaults::failedBuildsKey())), list);
    }
};

QTEST_GUILESS_MAIN(tst_UpdaterDefaults)
#include "tst_UpdaterDefaults.moc"
