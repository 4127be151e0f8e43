// The tray menu's items as plain data, in every state of the updater.
#include "app/MenuContent.h"

#include <QTest>

using State = UpdaterInterface::State;

namespace {

// "Title [Ctrl+,]" for each item, "---" for a divider.
QStringList describe(const QList<MenuItem> &items)
{
    QStringList out;
    for (const MenuItem &item : items) {
        if (item.kind == MenuItem::Kind::divider) {
            out << QStringLiteral("---");
            continue;
        }
        QString line = item.title;
        if (!item.shortcut.isEmpty())
            line += QStringLiteral(" [") + item.shortcut.toString(QKeySequence::PortableText) + u']';
        out << line;
    }
    return out;
}

Release release(const QString &version)
{
    Release r;
    r.version = version;
    r.build = 50;
    r.url = QUrl(QStringLiteral("https://dl.example.org/F.zip"));
    r.sha256 = QString(64, u'a');
    return r;
}

} // namespace

class tst_MenuContent : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void withoutAnOfferTheMenuIsFixed()
    {
        for (const State &state : {State::idle(), State::checking(), State::upToDate(),
                                   State::installing(QStringLiteral("Checking the download…")),
                                   State::failed(QStringLiteral("The update server couldn't be reached."))}) {
            const QList<MenuItem> items = MenuContent::items(state);
            QCOMPARE(describe(items),
                     QStringList({"Show Test Message", "Settings… [Ctrl+,]", "---", "Quit Ferrowhistle"}));
            QCOMPARE(items.at(0).action, MenuItem::Action::showTestMessage);
            QCOMPARE(items.at(1).action, MenuItem::Action::openSettings);
            QCOMPARE(items.at(3).action, MenuItem::Action::quit);
            for (const MenuItem &item : items)
                QVERIFY(!item.release);
        }
    }

    void anOfferLeadsWithItsInstallItem()
    {
        const QList<MenuItem> items = MenuContent::items(State::available(release(QStringLiteral("2.0"))));
        QCOMPARE(describe(items), QStringList({"Install Update 2.0 and Relaunch", "---", "Show Test Message",
                                               "Settings… [Ctrl+,]", "---", "Quit Ferrowhistle"}));
        QCOMPARE(items.first().action, MenuItem::Action::install);
        // The item carries the release it was built with.
        QCOMPARE(items.first().release, release(QStringLiteral("2.0")));
        // Only Settings… has a key.
        for (const MenuItem &item : items)
            QCOMPARE(item.shortcut.isEmpty(), item.action != MenuItem::Action::openSettings);
        // The ellipsis is one character.
        QCOMPARE(items.at(3).title.size(), 9);
    }

    void theVersionIsInsertedAsWritten()
    {
        // A placeholder-looking version is not substituted again.
        QCOMPARE(MenuContent::items(State::available(release(QStringLiteral("%1 & %2")))).first().title,
                 QStringLiteral("Install Update %1 & %2 and Relaunch"));
        QCOMPARE(MenuContent::items(State::available(release(QString()))).first().title,
                 QStringLiteral("Install Update  and Relaunch"));
    }
};

QTEST_GUILESS_MAIN(tst_MenuContent)
#include "tst_MenuContent.moc"
