// Whether a compositor runs is asked of the X screen the app's connection
// was opened on: the owner of _NET_WM_CM_S<screen>. On a display with two X
// screens, an app started on ":N.1" must look at screen 1's selection, not
// at the index of Qt's primary monitor.
#include "desktop/Compositor.h"

#include <QGuiApplication>
#include <QProcess>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

// Another client owning the compositor selection of one X screen, as a
// compositor would.
class SelectionOwner {
public:
    SelectionOwner(const QByteArray &display, int screen)
    {
        int unused = 0;
        m_c = xcb_connect(display.constData(), &unused);
        if (xcb_connection_has_error(m_c))
            return;
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_c));
        for (int i = 0; i < screen && it.rem; ++i)
            xcb_screen_next(&it);
        const xcb_window_t window = xcb_generate_id(m_c);
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, window, it.data->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
        xcb_intern_atom_reply_t *atom =
            xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, uint16_t(name.size()), name.constData()), nullptr);
        if (!atom)
            return;
        xcb_set_selection_owner(m_c, window, atom->atom, XCB_CURRENT_TIME);
        std::free(atom);
        std::free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr)); // a round trip: it is set
        m_owned = true;
    }
    ~SelectionOwner() { xcb_disconnect(m_c); }
    bool owned() const { return m_owned; }

private:
    xcb_connection_t *m_c = nullptr;
    bool m_owned = false;
};

} // namespace

class tst_Compositor : public QObject {
    Q_OBJECT
    QProcess m_server;
    QByteArray m_display;

    // What the probe answers in a fresh app on the given X screen.
    QString answerOn(int screen)
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_display + '.' + QByteArray::number(screen)));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--probe")});
        if (!child.waitForFinished(60000))
            return QStringLiteral("no answer");
        return QString::fromLatin1(child.readAllStandardOutput()).trimmed();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // An X server of the test's own with two X screens (Xvfb can; one
        // screen with several monitors would not tell the two apart).
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"), QStringLiteral("-nolisten"),
                                               QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                                               QStringLiteral("640x480x24"), QStringLiteral("-screen"), QStringLiteral("1"),
                                               QStringLiteral("640x480x24")});
        QVERIFY(m_server.waitForStarted(30000));
        QVERIFY(QTest::qWaitFor([this] { return m_server.canReadLine() || m_server.waitForReadyRead(100); }, 60000));
        m_display = ':' + m_server.readLine().trimmed();
        QVERIFY(m_display.size() > 1);
    }
    void cleanupTestCase()
    {
        m_server.terminate();
        m_server.waitForFinished(30000);
    }

    void askedOfTheScreenOfTheConnection()
    {
        QCOMPARE(answerOn(0), QStringLiteral("none"));
        QCOMPARE(answerOn(1), QStringLiteral("none"));
        {
            SelectionOwner compositor(m_display, 1);
            QVERIFY(compositor.owned());
            QCOMPARE(answerOn(1), QStringLiteral("running"));
            QCOMPARE(answerOn(0), QStringLiteral("none"));
        }
        SelectionOwner compositor(m_display, 0);
        QVERIFY(compositor.owned());
        QCOMPARE(answerOn(0), QStringLiteral("running"));
        QCOMPARE(answerOn(1), QStringLiteral("none"));
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--probe") == 0) {
        QGuiApplication app(argc, argv);
        std::puts(Compositor::isRunning() ? "running" : "none");
        return 0;
    }
    QCoreApplication app(argc, argv);
    tst_Compositor test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Compositor.moc"
