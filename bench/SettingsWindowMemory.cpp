// Memory of the settings window: opens and closes it 200 times (each shown,
// fitted and freed) and reports the growth of the resident set, next to the
// same loop over a plain window with a label, measured in the same process.

#include "platform/DefaultsStore.h"
#include "settings/SettingsWindow.h"
#include "update/Updater.h"

#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace {

long rssKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void drain()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

template<typename Open>
long growthOver(int rounds, Open open)
{
    for (int i = 0; i < 20; ++i) { // warm-up: fonts, styles, caches settle
        QWidget *w = open();
        if (!QTest::qWaitForWindowExposed(w))
            std::fprintf(stderr, "settings-memory: a window was not shown\n");
        w->close();
        drain();
    }
    const long before = rssKiB();
    for (int i = 0; i < rounds; ++i) {
        QWidget *w = open();
        if (!QTest::qWaitForWindowExposed(w))
            std::fprintf(stderr, "settings-memory: a window was not shown\n");
        w->close();
        drain();
    }
    return rssKiB() - before;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Updater updater(Updater::Environment{});
    const int rounds = 200;

    const long settings = growthOver(rounds, [&updater] { return SettingsWindow::showOrRaise(updater, {}); });
    const long plain = growthOver(rounds, [] {
        auto *w = new QWidget;
        w->setAttribute(Qt::WA_DeleteOnClose);
        auto *layout = new QVBoxLayout(w);
        layout->addWidget(new QLabel(QStringLiteral("Version 1.0 (1) · unknown")));
        w->setFixedWidth(420);
        w->show();
        return w;
    });
    std::printf("settings-memory: resident set growth over %d opens and closes\n", rounds);
    std::printf("  settings window: %ld KiB (target: under 2048): %s\n", settings, settings < 2048 ? "met" : "NOT met");
    std::printf("  baseline (plain window with a label): %ld KiB\n", plain);
    return settings < 2048 ? 0 : 1;
}
