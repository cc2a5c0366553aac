// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/main_window.h"
#include "app/settings_section.h"
#include "transfer/file_transfer.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QStringList>

#include <functional>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class Tfrm_Main;

// The standard file transfers of the terminal window: the "Transfer" menu
// with its protocol choice, the progress dialog a transfer runs under (on
// the window's transfer frame), and the offer to receive when the device
// starts a ZMODEM send.
class FileTransferDialog : public QDialog, public SettingsSection
{
    Q_OBJECT

public:
    // The protocol menu's entries, in their order; the settings keep the index.
    enum class Choice { XmodemChecksum, XmodemCrc, Xmodem1k, Ymodem, Zmodem };

    explicit FileTransferDialog(Tfrm_Main& main);
    ~FileTransferDialog() override;

    void saveSettings(merovan::IniFile& ini) const override;

    void mnu_sendFileClick();
    void mnu_receiveFilesClick();
    // The terminal saw a ZMODEM sender start.
    void zmodemStartSeen();

    Choice choice() const;
    void setChoice(Choice choice);
    // What the menu's choices mean for the core.
    merovan::FileTransferOptions options() const;

    // Runs routine on the window's frame under this dialog, captioned title;
    // a success names the files, and into, the folder they went to.
    merovan::FileTransferOutcome run(
        const QString& title, const Tfrm_Main::FileRoutine& routine, const QString& into = {});
    // Shows one progress report (the frame calls it, refreshing at most ten
    // times a second).
    void showProgress(const merovan::FileTransferProgress& progress);

    // What the user picks, where tests answer instead of the standard boxes:
    // files to send (empty: cancelled), a folder or a file to receive into,
    // and the auto-start question.
    void setSendChooser(std::function<QStringList(bool several, const QString& folder)> chooser);
    void setFolderChooser(std::function<QString(const QString& folder)> chooser);
    void setSaveChooser(std::function<QString(const QString& suggestion)> chooser);
    void setStartPrompt(std::function<bool(const QString& folder)> prompt);

    QString receiveFolder() const { return m_receiveDir; }
    void setReceiveFolder(const QString& folder) { m_receiveDir = folder; }

    // The menu and its entries.
    QMenu* mnu_transfer = nullptr;
    QAction* mnu_sendFile = nullptr;
    QAction* mnu_receiveFiles = nullptr;
    QActionGroup* grp_protocol = nullptr;
    QAction* mnu_xmodemChecksum = nullptr;
    QAction* mnu_xmodemCrc = nullptr;
    QAction* mnu_xmodem1k = nullptr;
    QAction* mnu_ymodem = nullptr;
    QAction* mnu_zmodem = nullptr;
    QAction* mnu_xmodemStrip = nullptr;
    QAction* mnu_zmodemResume = nullptr;
    QAction* mnu_zmodemAuto = nullptr;

    // The progress dialog's controls.
    QLabel* lbl_xferFile = nullptr;
    QLabel* lbl_xferBytes = nullptr;
    QLabel* lbl_xferRate = nullptr;
    QLabel* lbl_xferLeft = nullptr;
    QLabel* lbl_xferRetries = nullptr;
    QProgressBar* pgb_xfer = nullptr;
    QPushButton* btn_xferCancel = nullptr;

protected:
    void reject() override;

private:
    void resetProgress();

    Tfrm_Main& m_main;
    QString m_sendDir;
    QString m_receiveDir;
    QString m_xmodemFile;
    std::function<QStringList(bool, const QString&)> m_chooseSend;
    std::function<QString(const QString&)> m_chooseFolder;
    std::function<QString(const QString&)> m_chooseSave;
    std::function<bool(const QString&)> m_askStart;
    // The session's bytes before the current file, for the rate.
    int m_fileIndex = 0;
    std::int64_t m_lastBytes = 0;
    std::int64_t m_doneBytes = 0;
    QElapsedTimer m_refreshed;
};
