#include "relocate/MoveToApplications.h"

#include "location/DesktopIntegration.h"
#include "relocate/BundleMove.h"
#include "platform/SignalWait.h"
#include "platform/SystemLog.h"
#include "platform/Worker.h"
#include "release/UpdaterFailure.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>

#include <memory>

namespace MoveToApplications {

QString applicationsFolder() { return QDir::homePath() + QStringLiteral("/Applications"); }

QString questionText() { return QObject::tr("Move Ferrowhistle to Applications?"); }

QString informativeText(bool replacing)
{
    QString text = QObject::tr("It's running from the disk image, where it can't keep itself up to date.");
    if (replacing)
        text += QObject::tr(" This replaces the copy already in Applications.");
    return text;
}

QString moveButtonText() { return QObject::tr("Move to Applications"); }
QString notNowButtonText() { return QObject::tr("Not Now"); }

QString failureText() { return QObject::tr("Couldn't move Ferrowhistle"); }

QString failureInformativeText(const QString &description)
{
    return description + QObject::tr(" Drag it from the disk image to Applications yourself.");
}

QString relaunchFailureText() { return QObject::tr("Couldn't restart Ferrowhistle"); }

QString relaunchFailureInformativeText(const QString &description)
{
    return description + QObject::tr(" It's now in Applications: start it from there.");
}

} // namespace MoveToApplications

namespace {

using namespace MoveToApplications;

// The system's description as the start of a notice: one sentence.
QString asSentence(QString text)
{
    if (!text.isEmpty() && !text.endsWith(u'.') && !text.endsWith(u'!') && !text.endsWith(u'?'))
        text += u'.';
    return text;
}

// The coroutine that owns a box resumes inside the box's own finished
// signal: the box goes once that has returned.
struct LaterDeleter {
    void operator()(QObject *object) const { object->deleteLater(); }
};
using Box = std::unique_ptr<QMessageBox, LaterDeleter>;

// An application-modal box with the app's icon, brought to the front.
Box makeBox(const QString &text, const QString &informative)
{
    Box box(new QMessageBox);
    box->setWindowTitle(QStringLiteral("Ferrowhistle"));
    box->setWindowModality(Qt::ApplicationModal);
    const QIcon icon = QApplication::windowIcon();
    if (!icon.isNull())
        box->setIconPixmap(icon.pixmap(64, 64));
    else
        box->setIcon(QMessageBox::Information);
    box->setText(text);
    box->setInformativeText(informative);
    return box;
}

// Shows the box and finishes when it has been answered, with the button
// that answered it (the escape button when the window was closed).
QCoro::Task<QAbstractButton *> answerOf(QMessageBox *box)
{
    // Not open(): that would make it modal to its (absent) parent only.
    box->show();
    box->raise();
    box->activateWindow();
    SignalWait answered(box, &QDialog::finished);
    co_await answered;
    co_return box->clickedButton();
}

QCoro::Task<bool> askToMove(bool replacing)
{
    Box box = makeBox(questionText(), informativeText(replacing));
    QPushButton *move = box->addButton(moveButtonText(), QMessageBox::AcceptRole);
    QPushButton *notNow = box->addButton(notNowButtonText(), QMessageBox::RejectRole);
    box->setDefaultButton(move);
    box->setEscapeButton(notNow);
    auto answering = answerOf(box.get());
    QAbstractButton *answer = co_await std::move(answering);
    co_return answer == move;
}

QCoro::Task<> notify(QString text, QString informative)
{
    Box box = makeBox(text, informative);
    box->setStandardButtons(QMessageBox::Ok);
    auto answering = answerOf(box.get());
    co_await std::move(answering);
}

// The move's lines go to the journal beside the updater's, as before.
void log(const QString &text)
{
    systemLog({QStringLiteral(FERROWHISTLE_BUNDLE_ID), QStringLiteral("updater"), text});
}

// What one offer works with, kept off the coroutine's frame.
struct Offer {
    Relauncher relauncher;
    QList<LauncherAction> launcherActions;
    BundleMove move;
    QString failure;          // the move's error, for the notice
    QString registrationError; // the desktop files could not be written
};

} // namespace

QCoro::Task<> offerMoveToApplications(AppLocation where, Relauncher relauncher,
                                      QList<LauncherAction> launcherActions)
{
    if (!where.isOnRemovableMedia())
        co_return;
    auto offer = std::make_shared<Offer>();
    offer->relauncher = std::move(relauncher);
    offer->launcherActions = std::move(launcherActions);
    offer->move = BundleMove::into(where.bundlePath, applicationsFolder());

    auto asking = askToMove(offer->move.destinationExists());
    const bool accepted = co_await std::move(asking);
    if (!accepted)
        co_return;

    // The copy, the swap and the desktop files, off the GUI thread.
    auto moving = onWorker([offer] {
        try {
            offer->move.run();
        } catch (const PlatformError &e) {
            offer->failure = e.localizedDescription();
            return;
        }
        try {
            installDesktopIntegration(offer->move.destination, userDataHome(), offer->launcherActions);
            installAutostartEntry(offer->move.destination, userConfigHome());
        } catch (const DesktopIntegrationError &e) {
            offer->registrationError = QString::fromUtf8(e.what());
        }
    });
    co_await std::move(moving);

    if (!offer->failure.isEmpty()) {
        log(QStringLiteral("Couldn't move to Applications: ") + offer->failure);
        auto notice = notify(failureText(), failureInformativeText(asSentence(offer->failure)));
        co_await std::move(notice);
        co_return;
    }
    if (!offer->registrationError.isEmpty())
        log(offer->registrationError);
    log(QStringLiteral("Moved to ") + offer->move.destination + QStringLiteral(" from the disk image; relaunching"));
    QString relaunchError;
    try {
        offer->relauncher.relaunch(offer->move.destination);
    } catch (const RelaunchError &e) {
        relaunchError = e.description();
    }
    if (relaunchError.isEmpty())
        co_return;
    log(relaunchError);
    auto notice = notify(relaunchFailureText(), relaunchFailureInformativeText(asSentence(relaunchError)));
    co_await std::move(notice);
}
