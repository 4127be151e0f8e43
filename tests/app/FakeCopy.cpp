// A stand-in for the app in a test bundle, copied in as
// Contents/bin/Ferrowhistle so that the process runs the program at the
// path as the real app does. It follows the steps in Contents/bin/steps,
// one a line; NAME is a file in the folder that holds the bundle:
//   exit N / signal N     end so
//   hang                  wait for ever, owning nothing
//   touch NAME / wait NAME / once NAME (skips the next step when NAME is
//                         there, else makes it)
//   pid NAME              writes this process's id to NAME
//   claim                 takes the app's bus name as the app does, or hands
//                         over (exit 0) when another owns it
//   serve BUILD           answers Build and BundlePath as a settled copy
//   mute                  owns the name but answers nothing of itself
//   record BUILD          the record an older watch named in the environment
//   record-lock DIR BUILD the record a waiting watch's lock asks for, in DIR
//   window                shows a window on the display Qt's platform names,
//                         once that display has mapped it
//   run                   runs the event loop, owning nothing: a copy that
//                         lives as long as its display

#include "intent/BusNames.h"
#include "location/StartRecord.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRasterWindow>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <memory>

#include <unistd.h>

namespace {

class Instance final : public QDBusVirtualObject {
public:
    qint64 build = 0;
    QString bundle;
    bool answers = true;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() != BusNames::instanceInterface() || !answers)
            return false;
        if (message.member() == QLatin1String("Build"))
            connection.send(message.createReply(build));
        else if (message.member() == QLatin1String("BundlePath"))
            connection.send(message.createReply(bundle));
        else
            connection.send(message.createReply());
        return true;
    }
};

void touch(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        std::fprintf(stderr, "can't make %s\n", qPrintable(path));
}

} // namespace

int main(int argc, char **argv)
{
    // Taken before anything else, as the app does.
    const QString requested = StartRecord::takeRequestedPath();
    const QString program = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const QString bin = QFileInfo(program).absolutePath();
    const QString bundle = QDir::cleanPath(bin + QStringLiteral("/../.."));
    const QString folder = QFileInfo(bundle).absolutePath();
    QFile stepsFile(bin + QStringLiteral("/steps"));
    if (!stepsFile.open(QIODevice::ReadOnly))
        return 70;
    const QStringList steps = QString::fromUtf8(stepsFile.readAll()).split(u'\n', Qt::SkipEmptyParts);
    const auto at = [&](const QString &name) { return folder + u'/' + name; };
    // Only a copy with a window needs a display.
    const bool gui = steps.contains(QStringLiteral("window"));
    const std::unique_ptr<QCoreApplication> app =
        gui ? std::make_unique<QGuiApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    std::unique_ptr<QRasterWindow> window;

    Instance instance;
    instance.bundle = bundle;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const QStringList words = steps.at(i).split(u' ', Qt::SkipEmptyParts);
        const QString verb = words.value(0);
        const QString arg = words.value(1);
        if (verb == u"exit") {
            return arg.toInt();
        } else if (verb == u"signal") {
            ::kill(::getpid(), arg.toInt());
            ::pause();
        } else if (verb == u"hang") {
            for (;;)
                ::pause();
        } else if (verb == u"touch") {
            touch(at(arg));
        } else if (verb == u"wait") {
            while (!QFileInfo::exists(at(arg)))
                QThread::msleep(20);
        } else if (verb == u"once") {
            if (QFileInfo::exists(at(arg)))
                ++i;
            else
                touch(at(arg));
        } else if (verb == u"pid") {
            QFile f(at(arg));
            if (f.open(QIODevice::WriteOnly))
                f.write(QByteArray::number(QCoreApplication::applicationPid()));
        } else if (verb == u"claim") {
            QDBusConnection bus = QDBusConnection::sessionBus();
            bus.registerVirtualObject(BusNames::objectPath(), &instance);
            const auto reply = bus.interface()->registerService(BusNames::service(), QDBusConnectionInterface::DontQueueService,
                                                                QDBusConnectionInterface::DontAllowReplacement);
            if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered)
                return 0;
        } else if (verb == u"serve") {
            instance.build = arg.toLongLong();
            return app->exec();
        } else if (verb == u"mute") {
            instance.answers = false;
            return app->exec();
        } else if (verb == u"window") {
            window = std::make_unique<QRasterWindow>();
            window->resize(320, 120);
            window->show();
            while (!window->isExposed())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        } else if (verb == u"run") {
            return app->exec();
        } else if (verb == u"record") {
            if (!requested.isEmpty())
                StartRecord::write(requested, arg.toLongLong());
        } else if (verb == u"record-lock") {
            StartRecord::writeIfAwaited(bundle, words.value(2).toLongLong(), at(arg));
        } else {
            std::fprintf(stderr, "unknown step %s\n", qPrintable(verb));
            return 71;
        }
    }
    return 0;
}
