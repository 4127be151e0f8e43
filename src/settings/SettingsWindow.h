#pragma once

#include "location/AppLocation.h"
#include "settings/UpdatesSection.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLayout;
class QProgressBar;
class QPushButton;
class QScrollArea;

// The settings window: the "Updates" group (offer, notes, Install and
// Relaunch, Check Now, progress, status, the daily switch) and below it the
// build's version line and the "Start at login" switch. One per process; asking again raises the open one.
// 420 wide, as tall as its content. It is an ordinary window, in the taskbar
// and Alt-Tab while open although the app is otherwise an accessory, and
// closing it frees it and leaves the app running.
class SettingsWindow final : public QWidget {
    Q_OBJECT
public:
    using Install = std::function<void(const Release &)>;

    static constexpr int kWidth = 420;

    // Opens the window, or raises and focuses the one already open.
    // bundlePath: the running copy, which "Start at login" starts.
    static SettingsWindow *showOrRaise(UpdaterInterface &updater, Install install,
                                       const QString &bundlePath = AppLocation::running().bundlePath);
    // The open window, or nullptr.
    static SettingsWindow *instance();

    ~SettingsWindow() override;

    // What the window shows now, for tests and for a look from outside.
    const UpdatesRows &rows() const { return m_rows; }
    QLabel *statusLabel() const { return m_status; }
    QPushButton *checkNowButton() const { return m_checkNow; }
    QPushButton *installButton() const { return m_install; }
    QCheckBox *automaticSwitch() const { return m_automatic; }
    QLabel *versionLabel() const { return m_version; }
    // "Version X (N) is kept." and "Revert to X", shown while a previous
    // copy is kept.
    QLabel *keptLabel() const { return m_kept; }
    QPushButton *revertButton() const { return m_revert; }
    QProgressBar *progress() const { return m_progress; }
    // Start at login: checked when the autostart entry starts this copy;
    // disabled while it is being read or written. The note below it says
    // why the last change failed, and is hidden otherwise.
    QCheckBox *startAtLoginSwitch() const { return m_startAtLogin; }
    QLabel *startAtLoginNote() const { return m_startAtLoginNote; }

    // Orange for a failure, readable on this window's background.
    QColor failureColor() const;

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    SettingsWindow(UpdaterInterface &updater, Install install, QString bundlePath);
    void rebuild();
    void applyStyles();
    void fitToContent();
    void addStartAtLogin(QLayout *rows);
    // Writes (true) or removes (false) the entry, or only reads it, on a
    // worker thread, then shows what the entry says.
    static QCoro::Task<> changeStartAtLogin(QPointer<SettingsWindow> window, std::optional<bool> want, QString bundle,
                                            QString configHome);
    void showStartAtLoginResult(bool on, const QString &failure);

    UpdaterInterface &m_updater;
    Install m_installHandler;
    QString m_bundlePath;
    UpdatesRows m_rows;

    QScrollArea *m_scroll = nullptr;
    QWidget *m_content = nullptr;
    QGroupBox *m_updatesGroup = nullptr;
    QLabel *m_headline = nullptr;
    QLabel *m_notes = nullptr;
    QPushButton *m_install = nullptr;
    QPushButton *m_checkNow = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_status = nullptr;
    QCheckBox *m_automatic = nullptr;
    QLabel *m_version = nullptr;
    QLabel *m_kept = nullptr;
    QPushButton *m_revert = nullptr;
    QCheckBox *m_startAtLogin = nullptr;
    QLabel *m_startAtLoginNote = nullptr;
};
