// ferrowhistle-proxy, the helper that asks the host's libproxy: it prints
// the desktop's proxies for an address (GNOME's manual proxy here, read by
// the host's libproxy and its GNOME plugin), and says so with its own status
// where this system has no libproxy, so the app falls back rather than going
// direct.

#include "support/TestEnvironment.h"

#include <QtTest>

class tst_ProxyTool : public QObject {
    Q_OBJECT
    TestEnvironment m_env;

private Q_SLOTS:
    void itAnswersOrSaysWhy_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("libproxyHidden");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        const QStringList url{QStringLiteral("https://updates.invalid/appcast.json")};
        QTest::newRow("GNOME's manual proxy") << url << false << 0 << QStringLiteral("http://127.0.0.1:3129\n") << QString();
        QTest::newRow("no libproxy") << url << true << 2 << QString()
                                     << QStringLiteral("ferrowhistle-proxy: this system has no libproxy: ");
        QTest::newRow("no address") << QStringList() << false << 64 << QString() << QStringLiteral("usage: ferrowhistle-proxy URL\n");
    }
    void itAnswersOrSaysWhy()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, libproxyHidden);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
        env.insert(QStringLiteral("DESKTOP_SESSION"), QStringLiteral("gnome"));
        env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
        // GLib's keyfile store, as `gsettings set` writes it.
        const QString store = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/glib-2.0/settings");
        QVERIFY(QDir().mkpath(store));
        QFile keyfile(store + QStringLiteral("/keyfile"));
        QVERIFY(keyfile.open(QIODevice::WriteOnly | QIODevice::Truncate));
        keyfile.write("[system/proxy]\nmode='manual'\n\n[system/proxy/https]\nhost='127.0.0.1'\nport=3129\n");
        keyfile.close();
        if (libproxyHidden) {
            // The loader looks here first: what it finds is no library.
            const QString folder = m_env.root() + QStringLiteral("/no-libproxy");
            QVERIFY(QDir().mkpath(folder));
            QFile fake(folder + QStringLiteral("/libproxy.so.1"));
            QVERIFY(fake.open(QIODevice::WriteOnly) && fake.write("not a library\n") > 0);
            env.insert(QStringLiteral("LD_LIBRARY_PATH"), folder);
        }
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/ferrowhistle-proxy"), arguments);
        QVERIFY(p.waitForFinished(-1));
        const QString stdErr = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QVERIFY2(p.exitCode() == status, qPrintable(stdErr));
        if (status == 0)
            QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).section(u'\n', 0, 0) + u'\n', out);
        else
            QVERIFY2(stdErr.startsWith(err), qPrintable(stdErr));
    }
};

QTEST_GUILESS_MAIN(tst_ProxyTool)
#include "tst_ProxyTool.moc"
