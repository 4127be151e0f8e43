#include "settings/SettingsWindow.h"

#include "platform/BuildInfo.h"
#include "location/DesktopIntegration.h"
#include "desktop/DisplayText.h"
#include "platform/Worker.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

QPointer<SettingsWindow> g_window;

// Every text here is plain: nothing from a feed or a build is ever taken as
// markup or a link.
QLabel *plainLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setOpenExternalLinks(false);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

QString shown(const QString &text)
{
    return wrappableForDisplay(isolatedForDisplay(text));
}

// The not-now task of Check Now: the button returns at once, the check goes
// on in this coroutine, which holds nothing of the window.
QCoro::Task<> checkNow(QPointer<UpdaterInterface> updater)
{
    if (updater)
        co_await updater->check(true);
}

// What one start-at-login step did, carried back from the worker.
struct StartAtLoginResult {
    bool on = false;
    QString failure;
};

} // namespace

SettingsWindow *SettingsWindow::showOrRaise(UpdaterInterface &updater, Install install, const QString &bundlePath)
{
    if (!g_window) {
        g_window = new SettingsWindow(updater, std::move(install), bundlePath);
        g_window->show();
    } else {
        g_window->showNormal();
    }
    g_window->raise();
    g_window->activateWindow();
    return g_window;
}

SettingsWindow *SettingsWindow::instance()
{
    return g_window;
}

SettingsWindow::SettingsWindow(UpdaterInterface &updater, Install install, QString bundlePath)
    : QWidget(nullptr, Qt::Window), m_updater(updater), m_installHandler(std::move(install)),
      m_bundlePath(std::move(bundlePath))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Ferrowhistle Settings"));
    setObjectName(QStringLiteral("FerrowhistleSettings"));

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setWidgetResizable(true);
    auto *windowLayout = new QVBoxLayout(this);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->addWidget(m_scroll);

    m_content = new QWidget;
    auto *form = new QVBoxLayout(m_content);
    form->setContentsMargins(16, 14, 16, 16);
    form->setSpacing(12);

    m_updatesGroup = new QGroupBox(UpdatesSection::headerTitle(), m_content);
    auto *rows = new QVBoxLayout(m_updatesGroup);
    rows->setSpacing(8);
    m_headline = plainLabel(m_updatesGroup);
    m_notes = plainLabel(m_updatesGroup);
    m_status = plainLabel(m_updatesGroup);

    auto *controls = new QHBoxLayout;
    controls->setSpacing(8);
    m_install = new QPushButton(tr("Install and Relaunch"), m_updatesGroup);
    m_install->setDefault(true);
    m_checkNow = new QPushButton(tr("Check Now"), m_updatesGroup);
    m_progress = new QProgressBar(m_updatesGroup);
    m_progress->setRange(0, 0);
    m_progress->setTextVisible(false);
    m_progress->setFixedSize(48, 10);
    controls->addWidget(m_install, 0, Qt::AlignVCenter);
    controls->addWidget(m_checkNow, 0, Qt::AlignVCenter);
    controls->addWidget(m_progress, 0, Qt::AlignVCenter);
    controls->addStretch(1);

    m_automatic = new QCheckBox(tr("Check for updates daily"), m_updatesGroup);

    rows->addWidget(m_headline);
    rows->addWidget(m_notes);
    rows->addLayout(controls);
    rows->addWidget(m_status);
    rows->addWidget(m_automatic);

    auto *versionGroup = new QGroupBox(m_content);
    auto *versionRows = new QVBoxLayout(versionGroup);
    m_version = plainLabel(versionGroup);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Read once, here, not on every change of the updater: it names the copy
    // that runs, which stays the same while the window lives (an update
    // relaunches the app, and after the swap /proc/self/exe names the old
    // copy's files, not the new bundle at the same path).
    m_version->setText(wrappableForDisplay(isolatedForDisplay(versionLine(Bundle::main()))));
    versionRows->addWidget(m_version);
    auto *keptRow = new QHBoxLayout;
    keptRow->setSpacing(8);
    m_kept = plainLabel(versionGroup);
    m_revert = new QPushButton(versionGroup);
    keptRow->addWidget(m_kept, 1, Qt::AlignVCenter);
    keptRow->addWidget(m_revert, 0, Qt::AlignVCenter);
    versionRows->addLayout(keptRow);
    addStartAtLogin(versionRows);

    form->addWidget(m_updatesGroup);
    form->addWidget(versionGroup);
    form->addStretch(1);
    m_scroll->setWidget(m_content);

    connect(m_install, &QPushButton::clicked, this, [this] {
        if (m_rows.installRelease && m_installHandler)
            m_installHandler(*m_rows.installRelease);
    });
    connect(m_checkNow, &QPushButton::clicked, this, [this] { checkNow(QPointer<UpdaterInterface>(&m_updater)); });
    connect(m_revert, &QPushButton::clicked, this, [this] {
        if (m_rows.revertTitle)
            m_updater.revert();
    });
    // clicked, not toggled: only the user's hand writes the setting.
    connect(m_automatic, &QCheckBox::clicked, this, [this](bool on) { m_updater.setAutomatic(on); });
    connect(&m_updater, &UpdaterInterface::changed, this, &SettingsWindow::rebuild);

    // Ctrl+W closes it, as it does most windows.
    auto *close = new QShortcut(QKeySequence::Close, this);
    connect(close, &QShortcut::activated, this, &QWidget::close);

    applyStyles();
    rebuild();
    m_checkNow->setFocus();
}

SettingsWindow::~SettingsWindow() = default;

QColor SettingsWindow::failureColor() const
{
    const bool darkBackground = palette().color(QPalette::Window).lightnessF() < 0.5;
    return darkBackground ? QColor(0xFF, 0x9F, 0x0A) : QColor(0xC9, 0x5F, 0x00);
}

void SettingsWindow::applyStyles()
{
    QFont caption = font();
    caption.setPointSizeF(qMax(8.0, font().pointSizeF() * 0.85));
    QFont headline = font();
    headline.setBold(true);
    m_headline->setFont(headline);
    for (QLabel *label : {m_notes, m_status, m_version, m_kept})
        label->setFont(caption);

    QPalette secondary = palette();
    QColor dim = secondary.color(QPalette::WindowText);
    dim.setAlphaF(0.6);
    secondary.setColor(QPalette::WindowText, dim);
    secondary.setColor(QPalette::Text, dim);
    m_notes->setPalette(secondary);
    m_version->setPalette(secondary);
    m_kept->setPalette(secondary);

    // The install button stands out in the accent colour.
    QPalette prominent = palette();
    prominent.setColor(QPalette::Button, prominent.color(QPalette::Highlight));
    prominent.setColor(QPalette::ButtonText, prominent.color(QPalette::HighlightedText));
    m_install->setPalette(prominent);
}

void SettingsWindow::rebuild()
{
    m_rows = UpdatesSection::rows(m_updater, &isolatedForDisplay);

    m_headline->setVisible(m_rows.headline.has_value());
    m_headline->setText(m_rows.headline ? shown(*m_rows.headline) : QString());
    m_notes->setVisible(m_rows.notes.has_value());
    m_notes->setText(m_rows.notes ? shown(*m_rows.notes) : QString());
    m_install->setVisible(m_rows.installRelease.has_value());
    m_checkNow->setEnabled(m_rows.checkNowEnabled());
    m_progress->setVisible(m_rows.busy);
    m_kept->setVisible(m_rows.keptText.has_value());
    m_kept->setText(m_rows.keptText ? shown(*m_rows.keptText) : QString());
    m_revert->setVisible(m_rows.revertTitle.has_value());
    m_revert->setText(m_rows.revertTitle.value_or(QString()));
    m_revert->setEnabled(!m_rows.busy);

    m_status->setText(shown(m_rows.statusText));
    QPalette status = palette();
    QColor color = m_rows.statusIsFailure ? failureColor() : status.color(QPalette::WindowText);
    if (!m_rows.statusIsFailure)
        color.setAlphaF(0.6);
    status.setColor(QPalette::WindowText, color);
    m_status->setPalette(status);

    {
        const QSignalBlocker quiet(m_automatic);
        m_automatic->setChecked(m_rows.automatic);
    }
    fitToContent();
}

void SettingsWindow::fitToContent()
{
    // As tall as the content at the fixed width, but never taller than the
    // screen: past that the content scrolls.
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const int maxHeight = screen ? screen->availableGeometry().height() * 9 / 10 : 800;
    // Before the first show every row counts as hidden; the size hint holds
    // until the window is shown and fitted again.
    int height = m_content->layout()->totalHeightForWidth(kWidth);
    if (height <= 0)
        height = m_content->sizeHint().height();
    if (height > maxHeight) {
        m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        height = maxHeight;
    } else {
        m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
    setFixedSize(kWidth, height);
}

void SettingsWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    fitToContent();
}

void SettingsWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) {
        applyStyles();
        rebuild();
    }
}

void SettingsWindow::addStartAtLogin(QLayout *rows)
{
    m_startAtLogin = new QCheckBox(tr("Start at login"), this);
    m_startAtLoginNote = plainLabel(this);
    m_startAtLoginNote->setVisible(false);
    rows->addWidget(m_startAtLogin);
    rows->addWidget(m_startAtLoginNote);
    // Only the user's hand changes the entry: nothing writes it when the
    // window opens, so an entry the user removed stays removed.
    connect(m_startAtLogin, &QCheckBox::clicked, this, [this](bool on) {
        m_startAtLogin->setEnabled(false);
        changeStartAtLogin(this, on, m_bundlePath, userConfigHome());
    });
    m_startAtLogin->setEnabled(false);
    changeStartAtLogin(this, std::nullopt, m_bundlePath, userConfigHome());
}

// Off the GUI thread: an unreachable or slow home folder must not stall the
// window. Afterwards the switch shows what the entry now says, whatever was
// asked.
QCoro::Task<> SettingsWindow::changeStartAtLogin(QPointer<SettingsWindow> window, std::optional<bool> want, QString bundle,
                                                 QString configHome)
{
    auto working = onWorker([want, bundle, configHome] {
        StartAtLoginResult result;
        if (want) {
            try {
                if (*want)
                    installAutostartEntry(bundle, configHome);
                else
                    removeAutostartEntry(configHome);
            } catch (const DesktopIntegrationError &e) {
                result.failure = QString::fromUtf8(e.what());
            }
        }
        result.on = autostartStartsBundle(bundle, configHome);
        return result;
    });
    const StartAtLoginResult done = co_await std::move(working);
    if (window)
        window->showStartAtLoginResult(done.on, done.failure);
}

void SettingsWindow::showStartAtLoginResult(bool on, const QString &failure)
{
    {
        const QSignalBlocker quiet(m_startAtLogin);
        m_startAtLogin->setChecked(on);
    }
    m_startAtLogin->setEnabled(true);
    const bool wasShown = m_startAtLoginNote->isVisibleTo(this);
    if (failure.isEmpty()) {
        m_startAtLoginNote->clear();
    } else {
        m_startAtLoginNote->setText(shown(tr("Start at login couldn't be changed: %1").arg(failure)));
        QPalette note = palette();
        note.setColor(QPalette::WindowText, failureColor());
        m_startAtLoginNote->setPalette(note);
        m_startAtLoginNote->setFont(m_status->font());
    }
    m_startAtLoginNote->setVisible(!failure.isEmpty());
    if (wasShown != !failure.isEmpty())
        fitToContent();
}
