#include "app/FerrowhistleApp.h"

#include "app/BundleIconEngine.h"
#include "app/LaunchOptions.h"
#include "app/LauncherEntry.h"
#include "app/StartWatch.h"
#include "app/TestMessage.h"
#include "hud/DebugLog.h"
#include "hud/HUDController.h"
#include "hud/HUDView.h"
#include "intent/AutomationService.h"
#include "intent/BusNames.h"
#include "intent/SingleInstance.h"
#include "location/AppLocation.h"
#include "platform/Bundle.h"
#include "platform/SignalWait.h"
#include "platform/SystemLog.h"
#include "platform/TempDirectory.h"
#include "app/AppActions.h"
#include "location/DesktopIntegration.h"
#include "location/PreviousCopy.h"
#include "location/StartRecord.h"
#include "platform/Worker.h"
#include "release/VersionRules.h"
#include "desktop/DisplayCheck.h"
#include "desktop/FontConfigWarmUp.h"
#include "settings/SettingsWindow.h"
#include "update/UpdaterModule.h"

#include <QApplication>
#include <QDBusConnection>
#include <QPointer>
#include <QTimer>

#include <qcoro/qcorotimer.h>

#include <cstdio>
#include <functional>
#include <thread>
#include <utility>

FerrowhistleApp::FerrowhistleApp(const QStringList &arguments, QObject *parent) : QObject(parent)
{
    debugLog(QStringLiteral("app init, args=") + renderArgumentList(arguments));

    if (const auto request = scanLaunchArguments(arguments)) {
        const LaunchRequest r = *request;
        QTimer::singleShot(kTestMessageDelayMs, Qt::PreciseTimer, &HUDController::shared(),
                           [r] { HUDController::shared().show(r.message, r.position, std::nullopt); });
    }
    // A desktop action asked of a launch that found no instance running is
    // run by this one, after the same delay as a command-line message.
    if (const std::optional<AppAction> action = desktopActionNamed(launchModeOf(arguments).action))
        QTimer::singleShot(kTestMessageDelayMs, this, [this, a = *action] { Q_EMIT actionRequested(a); });

    QTimer::singleShot(0, this, [this] {
        m_appDelegate.applicationDidFinishLaunching();
        startUpdaterAndTray();
    });
}

namespace {

// The place an older build's watch named in the environment, taken at start.
QString g_requestedRecord;

// The records older builds' watches wait for: the one named in the
// environment, and the one a waiting watch's lock asks for. Written on a
// worker; the write flushes to the disk. Today's watch asks on the bus.
QCoro::Task<> recordStart(QString bundlePath, qint64 build)
{
    auto writing = onWorker([bundlePath, build, requested = std::exchange(g_requestedRecord, QString())] {
        std::optional<QString> problem;
        if (!requested.isEmpty())
            problem = StartRecord::write(requested, build);
        if (std::optional<QString> awaited = StartRecord::writeIfAwaited(bundlePath, build, temporaryDirectory()))
            problem = awaited;
        return problem;
    });
    if (const std::optional<QString> problem = co_await std::move(writing))
        systemLog({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("updater"),
                   QStringLiteral("Couldn't record that this copy started: ") + *problem});
}

// Resumes once the launch has settled: the first card has faded in, or no
// card has come within kLaunchSettleMs.
QCoro::Task<> launchSettled()
{
    HUDController &hud = HUDController::shared();
    if (!hud.panel()) {
        // A message to every screen shows its cards, and emits panelShown,
        // one after the other: only the first may resume this frame.
        SignalWait shown(&hud, &HUDController::panelShown, std::chrono::milliseconds(FerrowhistleApp::kLaunchSettleMs));
        if (!co_await shown)
            co_return;
    }
    auto fadeIn = QCoro::sleepFor(std::chrono::milliseconds(HUDController::kFadeInMs));
    co_await std::move(fadeIn);
}

} // namespace

QCoro::Task<> FerrowhistleApp::startUpdaterAndTray()
{
    // Nothing of the updater is loaded before the first card is on screen:
    // a start through the automation action only has to show it.
    QPointer<FerrowhistleApp> alive(this);
    auto settled = launchSettled();
    co_await std::move(settled);
    if (!alive)
        co_return;
    // The icon's other sizes, for the windows that carry them all.
    BundleIconEngine::decodeAhead();
    auto loading = UpdaterModule::load();
    UpdaterInterface *updater = co_await std::move(loading);
    if (!alive)
        co_return;
    // Settled, the updater loaded, and the bus name ours or no bus at all
    // (a launch that found the name taken has ended before this): started.
    const QString bundlePath = AppLocation::running().bundlePath;
    const qint64 build = VersionRules::buildOfBundle(Bundle::main());
    recordStart(bundlePath, build);
    Q_EMIT started(build, bundlePath);
    AppDelegate::completeLaunch(*updater);
    // After the launch steps, so a message held during start-up is not kept
    // waiting on the tray's round trips to the bus.
    m_tray = std::make_unique<TrayMenu>(*updater, TrayMenu::Actions{
                                                      .install = &FerrowhistleApp::installRelease,
                                                      .showTestMessage = &FerrowhistleApp::showTestMessage,
                                                      .openSettings = &FerrowhistleApp::openSettings,
                                                      .quit = &QCoreApplication::quit,
                                                  });
    m_tray->show();
}

void FerrowhistleApp::handleForwardedCommandLine(const QStringList &arguments)
{
    debugLog(QStringLiteral("command line from another launch, args=") + renderArgumentList(arguments));
    if (const auto request = scanLaunchArguments(arguments))
        HUDController::shared().show(request->message, request->position, std::nullopt);
    if (const std::optional<AppAction> action = desktopActionNamed(launchModeOf(arguments).action))
        Q_EMIT actionRequested(*action);
}

void FerrowhistleApp::showTestMessage()
{
    HUDController::shared().show(testMessageText(), HUDPosition::center, std::nullopt);
}

namespace {

void printTo(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

// The modes that print or write something and exit: none of them needs a
// display or reaches a running instance.
std::optional<int> runWithoutStarting(const LaunchMode &mode)
{
    switch (mode.kind) {
    case LaunchMode::Help:
        printTo(stdout, launchUsage());
        return 0;
    case LaunchMode::Version:
        printTo(stdout, QStringLiteral("Ferrowhistle %1 (build %2)\n")
                            .arg(QStringLiteral(FERROWHISTLE_VERSION),
                                 Bundle::main().infoString(QStringLiteral("CFBundleVersion")).value_or(QStringLiteral("no build number"))));
        return 0;
    case LaunchMode::UsageError:
        printTo(stderr, QStringLiteral("Ferrowhistle: %1\nTry 'Ferrowhistle --help'.\n").arg(mode.error));
        return 2;
    case LaunchMode::RegisterWithDesktop:
        try {
            const QString dataHome = userDataHome();
            const QString configHome = userConfigHome();
            installDesktopIntegration(Bundle::main().path(), dataHome, launcherActionsFor(Bundle::main().path()));
            installAutostartEntry(Bundle::main().path(), configHome);
            printTo(stdout, QStringLiteral("Registered %1, %2 and %3\n")
                                .arg(desktopEntryPath(dataHome), dbusServicePath(dataHome), autostartEntryPath(configHome)));
            return 0;
        } catch (const DesktopIntegrationError &e) {
            printTo(stderr, QStringLiteral("Ferrowhistle: %1\n").arg(QString::fromStdString(e.what())));
            return 1;
        }
    case LaunchMode::WatchStart: {
        StartWatch watch;
        watch.bundlePath = mode.watchBundle;
        watch.build = mode.watchBuild;
        watch.limit = std::chrono::milliseconds(mode.watchLimitMs);
        // The relaunch shell waits for the watch: its status says whether
        // anything was started (Relaunch.h), not how that program ends.
        const StartWatch::Outcome outcome = watch.run();
        return outcome == StartWatch::Outcome::Confirmed || watch.somethingRuns() ? 0 : 1;
    }
    case LaunchMode::Run:
        break;
    }
    return std::nullopt;
}

} // namespace

namespace {

// Runs f with the updater once its module has loaded, which happens on a
// worker: an action asked for before the launch has settled must not load
// it on the GUI thread.
QCoro::Task<> withUpdater(std::function<void(UpdaterInterface &)> f)
{
    auto loading = UpdaterModule::load();
    UpdaterInterface *updater = co_await std::move(loading);
    f(*updater);
}

} // namespace

void FerrowhistleApp::openSettings()
{
    withUpdater([](UpdaterInterface &updater) { SettingsWindow::showOrRaise(updater, &FerrowhistleApp::installRelease); });
}

std::optional<AutomationService::ActionRefusal> FerrowhistleApp::runAction(AppAction action,
                                                                           AutomationService &automation)
{
    switch (action) {
    case AppAction::ShowTestMessage:
        showTestMessage();
        return std::nullopt;
    case AppAction::Settings:
        openSettings();
        return std::nullopt;
    case AppAction::CheckForUpdates:
        // Started, not awaited: the caller is answered at once.
        withUpdater([](UpdaterInterface &updater) { updater.check(true); });
        return std::nullopt;
    case AppAction::InstallUpdate: {
        // Only what the user was offered is installed; with nothing on offer
        // (and before the updater has loaded nothing can be) the caller
        // learns so instead of a silent no-op.
        const std::optional<UpdaterInterface::Release> offered =
            UpdaterModule::isLoaded() ? UpdaterModule::shared().availableRelease() : std::nullopt;
        if (!offered)
            return AutomationService::ActionRefusal{BusNames::noUpdateOfferedError(),
                                                    QStringLiteral("no update is on offer; check for updates first")};
        UpdaterModule::shared().install(*offered);
        return std::nullopt;
    }
    case AppAction::RevertUpdate: {
        // Read from the disk, so that a revert asked for before the updater
        // has loaded is answered truly; the updater checks it again.
        if (!PreviousCopy::olderBeside(AppLocation::running().bundlePath))
            return AutomationService::ActionRefusal{BusNames::nothingKeptError(),
                                                    QStringLiteral("no previous version is kept, so there is nothing to revert to")};
        withUpdater([](UpdaterInterface &updater) { updater.revert(); });
        return std::nullopt;
    }
    case AppAction::Quit:
        // After this call's reply has been sent, which the quit then waits out.
        QMetaObject::invokeMethod(
            &automation, [&automation] { automation.quitOnceRepliesAreOut(QDBusConnection::sessionBus()); },
            Qt::QueuedConnection);
        return std::nullopt;
    }
    return std::nullopt;
}

void FerrowhistleApp::installRelease(const Release &release)
{
    // Not awaited: the updater runs the install on its own and ignores the
    // request while one is running.
    UpdaterModule::shared().install(release);
}

int FerrowhistleApp::main(int argc, char **argv)
{
    // Keep the vector as given; QApplication removes the options it knows.
    const QStringList arguments = argumentsFromArgv(argc, argv);
    const LaunchMode mode = launchModeOf(arguments);
    // Before any thread runs, and out of the environment of whatever this
    // copy starts later.
    g_requestedRecord = StartRecord::takeRequestedPath();
    if (const std::optional<int> status = runWithoutStarting(mode))
        return *status;

    // A Wayland client cannot place its own windows, so run through XWayland.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    // Qt would abort without a display; one line and a plain failure instead.
    if (const std::optional<QString> reason = missingDisplay()) {
        printTo(stderr, QStringLiteral("Ferrowhistle: %1\n").arg(*reason));
        return 1;
    }

    // Opened now, loaded once the launch has settled: the updater that runs
    // is this copy's even if the bundle is replaced in between.
    // Where this copy runs, taken now for the same reason.
    const AppLocation &location = AppLocation::running();
    if (const std::optional<QString> problem = UpdaterModule::open(location.bundlePath)) {
        printTo(stderr, QStringLiteral("Ferrowhistle: %1\n").arg(*problem));
        return 1;
    }

    // Fontconfig loads on the side while the display connection is made.
    FontConfigWarmUp fonts;
    QApplication app(argc, argv);
    fonts.applicationReady();
    // The start-up work on other threads ends before the application is
    // destroyed, on every way out: a hand-over returns at once, and a thread
    // still decoding the icon would run on into freed image plugins.
    // Declared after the application, so it is destroyed first.
    const struct StartupWorkFence {
        FontConfigWarmUp &fonts;
        ~StartupWorkFence()
        {
            fonts.wait();
            BundleIconEngine::waitForDecoding();
        }
    } startupWorkFence{fonts};
    QApplication::setApplicationName(QStringLiteral("Ferrowhistle"));
    QApplication::setOrganizationDomain(QStringLiteral("copperkestrel.com"));
    QApplication::setDesktopFileName(QStringLiteral(FERROWHISTLE_BUNDLE_ID));
    QApplication::setApplicationVersion(QStringLiteral(FERROWHISTLE_VERSION));
    // The session bus is reached on a helper thread while this one opens the
    // font the card draws with: the one waits on the bus daemon, the other
    // works, and the first card finds its font ready. The connection is the
    // shared one every part of the app uses; no call can reach it before the
    // name is claimed below.
    std::jthread busConnecting([] { QDBusConnection::sessionBus(); });
    QApplication::setWindowIcon(
        BundleIconEngine::icon(Bundle::main().resourcesPath() + QStringLiteral("/icons"), QStringLiteral("ferrowhistle-")));
    fonts.wait();
    HUDView::openMessageFont();
    busConnecting.join();

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
    // Nothing was running to quit: starting one just to end it is pointless.
    if (mode.action == QLatin1String("quit"))
        return 0;

    FerrowhistleApp scene(arguments);
    if (claim.kind == SingleInstance::Outcome::Unavailable)
        debugLog(QStringLiteral("automation unavailable: ") + claim.detail);
    QObject::connect(&automation, &AutomationService::commandLineReceived, &scene,
                     &FerrowhistleApp::handleForwardedCommandLine);
    QObject::connect(&automation, &AutomationService::settingsRequested, &scene, &FerrowhistleApp::openSettings);
    QObject::connect(&automation, &AutomationService::quitRequested, &app, &QCoreApplication::quit);
    QObject::connect(&scene, &FerrowhistleApp::started, &automation, &AutomationService::setStarted);
    automation.setActions(actionIds(), [&automation](const QString &id) {
        return runAction(*desktopActionNamed(id), automation);
    });
    // The same actions from --action, at this start or handed over by a
    // later launch; a refusal has no caller to answer, so it is logged.
    QObject::connect(&scene, &FerrowhistleApp::actionRequested, &automation, [&automation](AppAction action) {
        if (const auto refusal = runAction(action, automation))
            debugLog(QStringLiteral("action %1 refused: %2").arg(actionId(action), refusal->message));
    });
    return app.exec();
}
