#include "app/FerrowhistleApp.h"

#include "app/BundleIconEngine.h"
#include "app/LaunchOptions.h"
#include "app/TestMessage.h"
#include "hud/DebugLog.h"
#include "hud/HUDController.h"
#include "intent/AutomationService.h"
#include "intent/SingleInstance.h"
#include "platform/Bundle.h"
#include "platform/FontConfigWarmUp.h"
#include "settings/SettingsWindow.h"

#include <QApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdio>

FerrowhistleApp::FerrowhistleApp(const QStringList &arguments, QObject *parent) : QObject(parent)
{
    debugLog(QStringLiteral("app init, args=") + renderArgumentList(arguments));

    if (const auto request = scanLaunchArguments(arguments)) {
        const LaunchRequest r = *request;
        QTimer::singleShot(kTestMessageDelayMs, Qt::PreciseTimer, &HUDController::shared(),
                           [r] { HUDController::shared().show(r.message, r.position, std::nullopt); });
    }

    QTimer::singleShot(0, this, [this] {
        m_appDelegate.applicationDidFinishLaunching();
        // After the launch steps, so a message held during start-up is not
        // kept waiting on the tray's round trips to the bus.
        m_tray = std::make_unique<TrayMenu>(Updater::shared(), TrayMenu::Actions{
                                                                   .install = &FerrowhistleApp::installRelease,
                                                                   .showTestMessage = &FerrowhistleApp::showTestMessage,
                                                                   .openSettings = &FerrowhistleApp::openSettings,
                                                                   .quit = &QCoreApplication::quit,
                                                               });
        m_tray->show();
    });
}

void FerrowhistleApp::handleForwardedCommandLine(const QStringList &arguments)
{
    debugLog(QStringLiteral("command line from another launch, args=") + renderArgumentList(arguments));
    if (const auto request = scanLaunchArguments(arguments))
        HUDController::shared().show(request->message, request->position, std::nullopt);
}

void FerrowhistleApp::showTestMessage()
{
    HUDController::shared().show(testMessageText(), HUDPosition::center, std::nullopt);
}

void FerrowhistleApp::openSettings()
{
    SettingsWindow::showOrRaise(Updater::shared(), &FerrowhistleApp::installRelease);
}

void FerrowhistleApp::installRelease(const Release &release)
{
    // Not awaited: the updater runs the install on its own and ignores the
    // request while one is running.
    Updater::shared().install(release);
}

int FerrowhistleApp::main(int argc, char **argv)
{
    // Keep the vector as given; QApplication removes the options it knows.
    const QStringList arguments = argumentsFromArgv(argc, argv);

    // A Wayland client cannot place its own windows, so run through XWayland.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");

    // Fontconfig loads on the side while the display connection is made.
    FontConfigWarmUp fonts;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ferrowhistle"));
    QApplication::setOrganizationDomain(QStringLiteral("copperkestrel.com"));
    QApplication::setDesktopFileName(QStringLiteral(FERROWHISTLE_BUNDLE_ID));
    QApplication::setApplicationVersion(QStringLiteral(FERROWHISTLE_VERSION));
    QApplication::setWindowIcon(
        BundleIconEngine::icon(Bundle::main().resourcesPath() + QStringLiteral("/icons"), QStringLiteral("ferrowhistle-")));

    // One instance per session: a later launch hands its command line over
    // and ends here, before it logs or schedules anything of its own.
    AutomationService automation;
    const SingleInstance::Outcome claim = SingleInstance::claim(QDBusConnection::sessionBus(), &automation, arguments);
    if (claim.kind == SingleInstance::Outcome::Forwarded)
        return 0;
    if (claim.kind == SingleInstance::Outcome::Failed) {
        std::fprintf(stderr, "Ferrowhistle: %s\n", qPrintable(claim.detail));
        return 1;
    }

    fonts.wait();
    FerrowhistleApp scene(arguments);
    if (claim.kind == SingleInstance::Outcome::Unavailable)
        debugLog(QStringLiteral("automation unavailable: ") + claim.detail);
    QObject::connect(&automation, &AutomationService::commandLineReceived, &scene,
                     &FerrowhistleApp::handleForwardedCommandLine);
    QObject::connect(&automation, &AutomationService::testMessageRequested, &scene, &FerrowhistleApp::showTestMessage);
    QObject::connect(&automation, &AutomationService::settingsRequested, &scene, &FerrowhistleApp::openSettings);
    QObject::connect(&automation, &AutomationService::quitRequested, &app, &QCoreApplication::quit);
    return app.exec();
}
