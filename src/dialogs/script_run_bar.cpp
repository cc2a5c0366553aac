// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/script_run_bar.h"

#include "app/main_window.h"
#include "app/terminal_view.h"
#include "automation/script_host.h"
#include "automation/script_runner.h"
#include "dialogs/file_transfer_dialog.h"
#include "dialogs/recent_list.h"
#include "scripts/script_dialog.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"
#include "settings/stored_list.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace {

constexpr char kSection[] = "LuaScripts";
constexpr int kRecentMax = 8;
// However far a script's deadline, the bar looks again this often: a port
// that went away or a Stop must end a wait promptly.
constexpr std::uint64_t kLongestSleepMs = 250;

template <typename T>
T* named(T* object, const char* name)
{
    object->setObjectName(QString::fromLatin1(name));
    return object;
}

QString fromBytes(const std::string& bytes)
{
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

// The window around a running script: log and print into the view, the
// transfers under their progress dialogs, named scripts from the script
// dialog's file.
class ScriptRunBar::Host final : public merovan::ScriptHost
{
public:
    explicit Host(ScriptRunBar& bar)
        : m_bar(bar)
    {
    }

    void log(const std::string& line) override { m_bar.writeMarked(line); }
    void print(const std::string& text) override
    {
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        m_bar.writeMarked(line);
    }
    void note(const std::string& text) override { m_bar.m_main.Panel2->setText(fromBytes(text)); }
    void showReceived(std::span<const std::uint8_t> bytes) override
    {
        m_bar.m_main.Show_text(m_bar.m_main.view(), bytes);
    }
    std::string scriptFile() const override
    {
        return m_bar.m_scripts ? recent_list::toBytes(m_bar.m_scripts->cbo_filename->currentText()) : std::string();
    }

    merovan::ScriptTransferResult transfer(merovan::SerialPort& port, const merovan::ScriptTransfer& t) override
    {
        using Kind = merovan::ScriptTransfer::Kind;
        // A script's transfers report into the view, not through message
        // boxes that would hold the script up until someone clicks them.
        Tfrm_Main& main = m_bar.m_main;
        const auto handler = main.messageHandler();
        QString message;
        main.setMessageHandler([&message](const QString& m) { message = m; });
        merovan::ScriptTransferResult r;
        if ((t.kind == Kind::SendFiles || t.kind == Kind::ReceiveFiles) && m_bar.m_transfers) {
            merovan::FileTransferOptions options = m_bar.m_transfers->options();
            options.protocol = t.protocol;
            options.oneK = t.oneK;
            const bool sending = t.kind == Kind::SendFiles;
            if (!sending) {
                options.receiveDir = t.dir.empty() ? "." : t.dir;
                options.xmodemFileName = t.dir;
            }
            const QString title = QStringLiteral("%1 %2 (script)")
                                      .arg(sending ? QStringLiteral("Send by") : QStringLiteral("Receive by"),
                                           fromBytes(std::string(merovan::protocolName(t.protocol))));
            const merovan::FileTransferOutcome outcome = m_bar.m_transfers->run(
                title,
                [&](merovan::SerialPort& p, const merovan::FileProgressCallback& progress) {
                    return sending ? merovan::sendFiles(p, t.paths, options, progress)
                                   : merovan::receiveFiles(p, options, progress);
                },
                sending ? QString() : fromBytes(options.receiveDir));
            r.ok = outcome.result == 0;
            if (!r.ok) {
                r.message = outcome.result < 0 ? recent_list::toBytes(message)
                                               : merovan::fileTransferMessage(outcome.result);
                if (outcome.result > 0 && !outcome.detail.empty())
                    r.message += ": " + outcome.detail;
            }
            r.files = outcome.files;
            r.deviceOutput = outcome.trailing;
        } else {
            // The text, binary and boot transfers show a progress dialog of
            // their own here, with the window's cancel.
            QProgressDialog progress(&main);
            progress.setObjectName(QStringLiteral("dlg_scriptTransfer"));
            progress.setWindowTitle(QStringLiteral("Script transfer"));
            progress.setLabelText(fromBytes(t.paths.empty() ? std::string() : t.paths.front()));
            progress.setMinimumDuration(0);
            progress.setRange(0, 0);
            progress.show();
            main.setPolling(false);
            main.cancelRequested = 0;
            r = merovan::runScriptTransfer(port, t, [&] {
                QApplication::processEvents();
                return progress.wasCanceled() || main.cancelRequested != 0;
            });
            main.setPolling(true);
        }
        main.setMessageHandler(handler);
        const std::string verdict = r.ok ? "transfer done" : r.message;
        main.Panel2->setText(fromBytes(verdict));
        return r;
    }

private:
    ScriptRunBar& m_bar;
};

ScriptRunBar::ScriptRunBar(Tfrm_Main& main, FileTransferDialog* transfers, Tfrm_script* scripts)
    : QToolBar(QStringLiteral("Script"), &main)
    , m_main(main)
    , m_transfers(transfers)
    , m_scripts(scripts)
{
    setObjectName(QStringLiteral("bar_script"));
    setMovable(false);
    lbl_scriptName = named(new QLabel(this), "lbl_scriptName");
    btn_scriptStop = named(new QPushButton(QStringLiteral("Stop"), this), "btn_scriptStop");
    addWidget(new QLabel(QStringLiteral("Lua script: "), this));
    addWidget(lbl_scriptName);
    addWidget(btn_scriptStop);
    connect(btn_scriptStop, &QPushButton::clicked, this, &ScriptRunBar::btn_scriptStopClick);
    main.addToolBar(Qt::BottomToolBarArea, this);
    hide();

    mnu_scripts = named(new QMenu(QStringLiteral("&Scripts"), &main), "mnu_scripts");
    mnu_runScript = named(mnu_scripts->addAction(QStringLiteral("Run Lua script...")), "mnu_runScript");
    connect(mnu_runScript, &QAction::triggered, this, &ScriptRunBar::mnu_runScriptClick);
    mnu_recentScripts = named(mnu_scripts->addMenu(QStringLiteral("Recent Lua scripts")), "mnu_recentScripts");
    main.insertMenu(mnu_scripts);

    m_wake = new QTimer(this);
    m_wake->setSingleShot(true);
    connect(m_wake, &QTimer::timeout, this, &ScriptRunBar::step);

    m_chooseScript = [this](const QString& folder) {
        return QFileDialog::getOpenFileName(&m_main, QStringLiteral("Run Lua script"), folder,
                                            QStringLiteral("Lua scripts (*.lua);;All files (*)"));
    };

    merovan::IniFile ini(main.settingsPath());
    ini.load();
    for (const std::string& entry : merovan::splitList(ini.readString(kSection, "Recent", "")))
        if (!entry.empty())
            m_recent.push_back(fromBytes(entry));
    m_folder = fromBytes(ini.readString(kSection, "Folder", ""));
    fillRecentMenu();
    main.addSettingsSection(this);
}

ScriptRunBar::~ScriptRunBar()
{
    m_main.setReceiveObserver({});
}

void ScriptRunBar::saveSettings(merovan::IniFile& ini) const
{
    std::vector<std::string> entries;
    for (const QString& path : m_recent)
        entries.push_back(recent_list::toBytes(path));
    ini.writeString(kSection, "Recent", merovan::joinList(entries));
    ini.writeString(kSection, "Folder", recent_list::toBytes(m_folder));
}

void ScriptRunBar::setScriptChooser(std::function<QString(const QString&)> chooser)
{
    m_chooseScript = std::move(chooser);
}

void ScriptRunBar::mnu_runScriptClick()
{
    const QString path = m_chooseScript(m_folder);
    if (path.isEmpty())
        return;
    m_folder = QFileInfo(path).absolutePath();
    runScript(path);
}

void ScriptRunBar::rememberRecent(const QString& path)
{
    m_recent.removeAll(path);
    m_recent.prepend(path);
    while (m_recent.size() > kRecentMax)
        m_recent.removeLast();
    fillRecentMenu();
}

void ScriptRunBar::fillRecentMenu()
{
    mnu_recentScripts->clear();
    for (const QString& path : m_recent) {
        QAction* a = mnu_recentScripts->addAction(path);
        connect(a, &QAction::triggered, this, [this, path] { runScript(path); });
    }
    mnu_recentScripts->setEnabled(!m_recent.isEmpty());
}

void ScriptRunBar::writeMarked(const std::string& line)
{
    // After what the device sent before it, on a line of its own.
    m_main.flushReceived();
    const std::string text = "\r\n[lua] " + line + "\r\n";
    m_main.Show_text(m_main.view(), std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool ScriptRunBar::runScript(const QString& path, const QStringList& args)
{
    if (m_runner) {
        m_main.showMessage(QStringLiteral("A Lua script is running already"));
        return false;
    }
    if (!m_main.port().isOpen()) {
        m_main.showMessage(QStringLiteral("COM port not open"));
        return false;
    }
    rememberRecent(path);
    m_host = std::make_unique<Host>(*this);
    m_runner = std::make_unique<merovan::ScriptRunner>(m_main.port(), m_clock, m_main.wallClock(), *m_host);
    std::vector<std::string> scriptArgs;
    for (const QString& a : args)
        scriptArgs.push_back(recent_list::toBytes(a));
    const std::string file = recent_list::toBytes(path);
    if (!m_runner->loadFile(file, scriptArgs)) {
        m_lastStatus = m_runner->exitStatus();
        m_lastError = fromBytes(m_runner->error());
        writeMarked(m_runner->error());
        m_main.showMessage(m_lastError);
        m_runner.reset();
        m_host.reset();
        return false;
    }
    lbl_scriptName->setText(QFileInfo(path).fileName());
    show();
    m_main.setReceiveObserver([this](std::span<const std::uint8_t> bytes) {
        if (m_runner) {
            m_runner->feed(bytes);
            scheduleStep();
        }
    });
    writeMarked(recent_list::toBytes(QFileInfo(path).fileName()) + " started");
    scheduleStep();
    return true;
}

void ScriptRunBar::btn_scriptStopClick()
{
    if (!m_runner)
        return;
    m_runner->cancel();
    // A transfer under way stops at its next progress report.
    m_main.cancelRequested = 1;
    scheduleStep();
}

void ScriptRunBar::scheduleStep()
{
    if (m_stepQueued)
        return;
    m_stepQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_stepQueued = false;
        step();
    });
}

void ScriptRunBar::step()
{
    if (!m_runner)
        return;
    if (m_inStep) {
        // A transfer inside the script lets events through; the script
        // goes on when it returns.
        m_stepAgain = true;
        return;
    }
    m_inStep = true;
    m_wake->stop();
    const merovan::ScriptRunner::State state = m_runner->resume();
    m_inStep = false;
    if (state == merovan::ScriptRunner::State::Finished) {
        finish();
        return;
    }
    if (m_stepAgain) {
        m_stepAgain = false;
        scheduleStep();
        return;
    }
    const std::uint64_t now = m_clock.nowMs();
    const std::uint64_t deadline = m_runner->deadline();
    const std::uint64_t wait = deadline <= now ? 0 : std::min(deadline - now, kLongestSleepMs);
    m_wake->start(static_cast<int>(wait));
}

void ScriptRunBar::finish()
{
    m_wake->stop();
    m_main.setReceiveObserver({});
    m_lastStatus = m_runner->exitStatus();
    m_lastError = fromBytes(m_runner->error());
    const std::string name = recent_list::toBytes(lbl_scriptName->text());
    if (!m_runner->error().empty())
        writeMarked(m_runner->error());
    writeMarked(name + " ended with status " + std::to_string(m_lastStatus));
    m_main.cancelRequested = 0;
    // Destroyed from the event loop, never from inside its own resume.
    m_runner.reset();
    m_host.reset();
    hide();
}
