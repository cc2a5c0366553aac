// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/settings_section.h"
#include "serial/clock.h"

#include <QString>
#include <QStringList>
#include <QToolBar>

#include <functional>
#include <memory>
#include <string>

class FileTransferDialog;
class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;
class Tfrm_Main;
class Tfrm_script;

namespace merovan {
class ScriptRunner;
}

// Scripts > "Run Lua script...": runs a Lua script against the terminal's
// port while the terminal goes on showing what the device sends. The
// script is a coroutine resumed from the event loop whenever input comes or
// its deadline passes, so the window stays responsive; this bar shows the
// script's name and a Stop button while it runs. Its log() lines are
// written into the view, marked "[lua]".
class ScriptRunBar : public QToolBar, public SettingsSection
{
    Q_OBJECT

public:
    // transfers and scripts may be null: send_file and receive_files then
    // run without the progress dialog, and script(name) has no default file.
    ScriptRunBar(Tfrm_Main& main, FileTransferDialog* transfers, Tfrm_script* scripts);
    ~ScriptRunBar() override;

    void saveSettings(merovan::IniFile& ini) const override;

    void mnu_runScriptClick();
    // Runs the script at path; false when one runs already, the port is not
    // open, or the script cannot be loaded (each with a message).
    bool runScript(const QString& path, const QStringList& args = {});
    void btn_scriptStopClick();
    bool running() const { return m_runner != nullptr; }
    // How the last script ended.
    int lastExitStatus() const { return m_lastStatus; }
    const QString& lastError() const { return m_lastError; }

    // The file the menu entry offers; tests answer instead of the dialog.
    void setScriptChooser(std::function<QString(const QString& folder)> chooser);
    QStringList recentScripts() const { return m_recent; }

    QMenu* mnu_scripts = nullptr;
    QAction* mnu_runScript = nullptr;
    QMenu* mnu_recentScripts = nullptr;
    QLabel* lbl_scriptName = nullptr;
    QPushButton* btn_scriptStop = nullptr;

private:
    class Host;
    void step();
    void scheduleStep();
    void finish();
    void rememberRecent(const QString& path);
    void fillRecentMenu();
    void writeMarked(const std::string& line);

    Tfrm_Main& m_main;
    FileTransferDialog* m_transfers;
    Tfrm_script* m_scripts;
    merovan::SteadyClock m_clock;
    std::unique_ptr<Host> m_host;
    std::unique_ptr<merovan::ScriptRunner> m_runner;
    QTimer* m_wake = nullptr;
    bool m_inStep = false;
    bool m_stepAgain = false;
    bool m_stepQueued = false;
    QStringList m_recent;
    QString m_folder;
    int m_lastStatus = 0;
    QString m_lastError;
    std::function<QString(const QString&)> m_chooseScript;
};
