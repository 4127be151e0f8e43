#include "app/FerrowhistleApp.h"

#include "app/LaunchOptions.h"
#include "hud/DebugLog.h"
#include "hud/HUDController.h"
#include "platform/Bundle.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QTimer>

FerrowhistleApp::FerrowhistleApp(const QStringList &arguments, QObject *parent) : QObject(parent)
{
    debugLog(QStringLiteral("app init, args=") + renderArgumentList(arguments));

    if (const auto request = scanLaunchArguments(arguments)) {
        const LaunchRequest r = *request;
        QTimer::singleShot(kTestMessageDelayMs, Qt::PreciseTimer, &HUDController::shared(),
                           [r] { HUDController::shared().show(r.message, r.position, std::nullopt); });
    }

    QTimer::singleShot(0, this, [this] { m_appDelegate.applicationDidFinishLaunching(); });
}

namespace {

QIcon bundleIcon(const Bundle &bundle)
{
    QIcon icon;
    const QString dir = bundle.resourcesPath() + QStringLiteral("/icons");
    for (const QString &file : QDir(dir).entryList({QStringLiteral("ferrowhistle-*.png")}, QDir::Files))
        icon.addFile(dir + QLatin1Char('/') + file);
    return icon;
}

} // namespace

int FerrowhistleApp::main(int argc, char **argv)
{
    // Keep the vector as given; QApplication removes the options it knows.
    const QStringList arguments = argumentsFromArgv(argc, argv);

    // A Wayland client cannot place its own windows, so run through XWayland.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ferrowhistle"));
    QApplication::setOrganizationDomain(QStringLiteral("copperkestrel.com"));
    QApplication::setDesktopFileName(QStringLiteral(FERROWHISTLE_BUNDLE_ID));
    QApplication::setApplicationVersion(QStringLiteral(FERROWHISTLE_VERSION));
    QApplication::setWindowIcon(bundleIcon(Bundle::main()));

    FerrowhistleApp scene(arguments);
    return app.exec();
}
