// The failed-builds list of the real settings file, added to by several
// writers at once, as start watches of two sessions (or a watch and the
// settings tool) may: every build stays in it. The updater's other
// read-modify-writes work on the file as it is when they run, so what
// another process wrote since the updater read it stays.

#include "platform/DefaultsStore.h"
#include "release/UpdaterDefaults.h"
#include "support/ConcurrentWriters.h"
#include "support/TestEnvironment.h"

#include <QtTest>

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
        QCOMPARE(writeConcurrently(kWriters, kEach, [&](int w, int i) {
                     const qint64 build = 1000 + w * 100 + i;
                     UpdaterDefaults::recordRolledBack(m_store, {build, QStringLiteral("1.0.%1").arg(build)}, 120s);
                 }),
                 0);

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

    void changesWorkOnTheFileAsItIsThen_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QVariant>("before"); // invalid: no value
        QTest::addColumn<QVariant>("after");
        const QString a = QStringLiteral("https://a.example/feed.json");
        const QString b = QStringLiteral("https://b.example/feed.json");
        const QDateTime earlier(QDate(2026, 12, 1), QTime(8, 0), Qt::UTC);
        const QDateTime accepted(QDate(2026, 12, 5), QTime(8, 0), Qt::UTC);
        const QDateTime later(QDate(2026, 12, 9), QTime(8, 0), Qt::UTC);
        const auto floors = [](const UpdaterDefaults::NewestFeeds &f) { return QVariant(UpdaterDefaults::newestFeedsText(f)); };

        // The revert adds build 100 to the reverted list.
        QTest::newRow("reverted: first build") << "revert" << QVariant() << QVariant(QStringLiteral("100"));
        QTest::newRow("reverted: another's build stays") << "revert" << QVariant(QStringLiteral("50 77")) << QVariant(QStringLiteral("50 77 100"));
        QTest::newRow("reverted: listed already") << "revert" << QVariant(QStringLiteral("100 7")) << QVariant(QStringLiteral("100 7"));
        QTest::newRow("reverted: a value of another type") << "revert" << QVariant(true) << QVariant(QStringLiteral("100"));
        // A feed from address a, published at `accepted`, was accepted.
        QTest::newRow("floor: first") << "floor" << QVariant() << floors({{a, accepted}});
        QTest::newRow("floor: another address stays") << "floor" << floors({{b, later}}) << floors({{a, accepted}, {b, later}});
        QTest::newRow("floor: an earlier one is raised") << "floor" << floors({{a, earlier}}) << floors({{a, accepted}});
        QTest::newRow("floor: another instance's later one stays") << "floor" << floors({{a, later}}) << floors({{a, later}});
        // Build 50 was offered: a roll-back record of an older build goes.
        QTest::newRow("rolled back: older record goes") << "offered" << QVariant(QStringLiteral("49 2.0")) << QVariant();
        QTest::newRow("rolled back: a record unreadable goes") << "offered" << QVariant(QStringLiteral("x 1.0")) << QVariant();
        QTest::newRow("rolled back: the offered build's stays") << "offered" << QVariant(QStringLiteral("50 2.1")) << QVariant(QStringLiteral("50 2.1"));
        QTest::newRow("rolled back: a later one stays") << "offered" << QVariant(QStringLiteral("60 3.0")) << QVariant(QStringLiteral("60 3.0"));
    }

    void changesWorkOnTheFileAsItIsThen()
    {
        QFETCH(QString, change);
        QFETCH(QVariant, before);
        QFETCH(QVariant, after);
        const QString key = change == QLatin1String("revert") ? UpdaterDefaults::revertedBuildsKey()
                            : change == QLatin1String("floor") ? UpdaterDefaults::newestFeedsKey()
                                                               : UpdaterDefaults::rolledBackKey();
        m_store.setValue(QStringLiteral("untouched"), true);
        if (before.isValid())
            m_store.setValue(key, before);
        const UpdaterDefaults::SettingsChange made =
            change == QLatin1String("revert")  ? UpdaterDefaults::addingBuild(key, 100)
            : change == QLatin1String("floor") ? UpdaterDefaults::raisingNewestFeed(QStringLiteral("https://a.example/feed.json"),
                                                                                    QDateTime(QDate(2026, 12, 5), QTime(8, 0), Qt::UTC))
                                               : UpdaterDefaults::clearingRolledBackBefore(50);
        m_store.update(made, 120s);
        QCOMPARE(m_store.object(key), after);
        QCOMPARE(m_store.object(QStringLiteral("untouched")), QVariant(true));
    }
};

QTEST_GUILESS_MAIN(tst_UpdaterDefaults)
#include "tst_UpdaterDefaults.moc"
