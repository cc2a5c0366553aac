// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "terminal/display_text.h"
#include "terminal/hex_dump.h"
#include "terminal/line_map.h"
#include "terminal/line_stamp.h"
#include "terminal/session_log.h"
#include "transfer/file_transfer.h"
#include "transfer/transfer.h"

#include <QColor>
#include <QFont>
#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class QAbstractButton;
class QAction;
class QCheckBox;
class QProgressBar;
class Tfrm_bin;
class Tfrm_boot;
class Tfrm_text;
class QComboBox;
class QLabel;
class QMessageBox;
class QSocketNotifier;
class QTimer;
class QToolButton;
class QWidget;
class SettingsSection;
class TAboutBox;
class TerminalView;
class FindBar;
class LogDialog;
class QMenu;
class QBoxLayout;
class QSplitter;
class VtView;

namespace merovan {
class VtScreen;
class DeviceWatch;
class IniFile;
class SerialPort;
} // namespace merovan

// The terminal window: the view, the port and line controls, the toolbar
// toggles of the transfer dialogs, and the settings file's own sections.
class Tfrm_Main : public QMainWindow
{
    Q_OBJECT

public:
    enum class Dialog { Text, Binary, Script, Boot };

    // settingsPath is the full path of Merovan.ini.
    Tfrm_Main(merovan::SerialPort& port, std::string settingsPath, QWidget* parent = nullptr);
    ~Tfrm_Main() override;

    // A transfer dialog, shown and hidden by its toolbar button; section (may
    // be null) writes the dialog's settings at shutdown, in the order added.
    void setDialog(Dialog which, QWidget* dialog, SettingsSection* section);
    bool dialogFlag(Dialog which) const;

    // How messages reach the user; a message box captioned "Merovan" unless
    // replaced (tests).
    void setMessageHandler(std::function<void(const QString&)> handler);
    std::function<void(const QString&)> messageHandler() const { return m_messageHandler; }
    void showMessage(const QString& text);

    // Called with every chunk the terminal reads from the port, as it is
    // read (a running Lua script watches the line this way); empty: none.
    void setReceiveObserver(std::function<void(std::span<const std::uint8_t>)> observer);
    // Shows at once what was read and not yet drawn, so that text written
    // into the view next comes after it.
    void flushReceived();

    merovan::SerialPort& port() { return m_port; }
    TerminalView* view() const { return RichEdit1; }
    const std::string& settingsPath() const { return m_settingsPath; }

    // The one routine that writes into the view.
    void Show_text(TerminalView* view, std::span<const std::uint8_t> bytes);

    void Start_up();
    void Shut_down();
    void Timer1Timer();
    void RichEdit1KeyPress(quint8& key);

    void mnu_echoClick();
    void Clearscreen1Click();
    void Cut1Click();
    void Copy1Click();
    void Paste1Click();
    void Font1Click();
    void Colour1Click();

    void mnu_refreshClick();
    void spd_refreshClick();
    void mnu_connectClick();
    void spd_connectClick();
    void mnu_ctsClick();
    void mnu_rtsClick();
    void spd_resetClick();
    void spd_closeClick();
    void spd_settingsClick();
    void spd_binaryClick();
    void spd_scriptClick();
    void spb_bootClick();
    void About1Click();

    // ---- Transfers ------------------------------------------------------
    // What a dialog lends the transfer frame.
    struct TransferPanel
    {
        Dialog which;
        QComboBox* fileBox = nullptr;
        QProgressBar* bar = nullptr;
        QWidget* cancelButton = nullptr;
        QCheckBox* closeBox = nullptr;
        QWidget* waitLabel = nullptr; // hidden at the first progress report
        QLabel* status = nullptr;     // the dialog's own line for the outcome
        bool needsPort = true;
        // False when the transfer only writes a file: then not even the
        // closing CR goes to the port.
        bool sendsToPort = true;
    };
    using Routine = std::function<merovan::TransferResult(merovan::TransferRequest&, const merovan::ProgressCallback&)>;

    // The driver frame every transfer follows: check for a file and an open
    // port, fill the request, stop the receive poll, run the routine with a
    // progress callback that keeps the window alive and answers the cancel
    // flag, show the result's message, then restore the window, send one CR
    // and hide the dialog when its close box is ticked and the transfer
    // worked (after a failure it stays, so a wrong path can be mended). The
    // dialog's status line says what became of it: the summary, or the
    // message with what was wrong. Returns the result, or -1 when a
    // precondition refused the transfer.
    struct TransferHooks
    {
        std::function<void()> before;            // once the poll has stopped
        std::function<void(int)> beforeMessage;  // with the result, before its message
        std::function<void()> after;             // after the closing CR
        // The status line after a success; "Sent 3,000 bytes in 0.31 s"
        // when not given.
        std::function<std::string(const merovan::TransferRequest&)> summary;
    };
    int runTransfer(const TransferPanel& panel, const std::function<void(merovan::TransferRequest&)>& fill,
                    const Routine& routine, std::string (*messageFor)(int), const TransferHooks& hooks = {});

    // The standard file transfers (XMODEM, YMODEM, ZMODEM) on the same
    // frame. The routine talks to the port it is given.
    using FileRoutine = std::function<merovan::FileTransferOutcome(merovan::SerialPort&,
                                                                   const merovan::FileProgressCallback&)>;
    struct FileTransferHooks
    {
        std::function<void()> before;                                        // once the poll has stopped
        std::function<void(const merovan::FileTransferProgress&)> progress;  // every report
        std::function<void(const merovan::FileTransferOutcome&)> finished;   // before the message
        // The line under "Transfer complete" (the failures bring their own).
        std::function<std::string(const merovan::FileTransferOutcome&)> summary;
    };
    // Refuses (result -1) while a transfer runs, or with "COM port not open";
    // otherwise stops the poll, runs the routine with a callback that keeps
    // the window alive and answers cancelRequested, shows the outcome's
    // message with its detail (or the summary) under it, in the bottom panel
    // too, then restarts the poll and sends one CR, as runTransfer does.
    merovan::FileTransferOutcome runFileTransfer(QWidget* cancelButton, const FileRoutine& routine,
                                                 const FileTransferHooks& hooks = {});

    // Called when the terminal sees a ZMODEM sender start (ZRQINIT) in what
    // it receives, from the event loop once the poll has stopped; the poll
    // restarts when it returns. Without one nothing is watched.
    void setZmodemStartHandler(std::function<void()> handler);

    // Called with each chunk the terminal reads from the port, as it is
    // read (the plot reads it too).
    void setReceiveTap(std::function<void(std::span<const std::uint8_t>)> tap) { m_receiveTap = std::move(tap); }

    // A settings section that is not a toolbar dialog's.
    void addSettingsSection(SettingsSection* section);
    // Puts a menu into the menu bar, before Help.
    void insertMenu(QMenu* menu);

    // Send buttons are disabled while any transfer runs.
    void addSendButton(QAbstractButton* button);
    bool transferRunning() const { return m_transferRunning; }

    // Asks the running transfer to stop at its next progress report.
    void btn_cancelClick();
    int cancelRequested = 0;

    // The text dialog's driver.
    void Transfer1();

    // Sends a script's text with its escapes expanded and shows what went
    // out in the view.
    void sendText(const std::string& text);
    Tfrm_text* frm_text = nullptr;

    // The boot loader dialog's driver.
    void bootLoader();
    Tfrm_boot* frm_boot = nullptr;

    // The binary dialog's driver.
    void Transfer_bin();
    Tfrm_bin* frm_bin = nullptr;

    // Called when mnu_cts changes, so the binary dialog can show its warning.
    void setCtsWarningHandler(std::function<void(bool ctsChecked)> handler);

    QTimer* timer() const { return Timer1; }

    // The title and the byte counts, refreshed by their own timer at most
    // ten times a second; also called at once when the connection changes.
    void updateStatus();
    // "Merovan — /dev/ttyUSB0 115200 8N1 — connected", or the release
    // caption before any port has been connected.
    QString statusTitle() const;
    // The outer size of about 100 x 30 characters of the view's font.
    QSize firstStartSize() const;

    // Stops or restarts the receive path, as transfers do while they read
    // the port themselves.
    void setPolling(bool on);
    // Whether the receive path is on: the port's descriptor is watched and
    // Timer1 runs while data flows.
    bool receiving() const { return m_receiving; }
    // "C" or NAK when the terminal's latest byte was one of those and came
    // within the last 3 s (an XMODEM or YMODEM receiver asking to start);
    // else 0.
    std::uint8_t recentStartRequest() const;

    // ---- The everyday terminal: log, view forms, find, port identity,
    // hot-plug, reconnect, line state, break -----------------------------
    // Starts a session log to path (stopping one that runs); false, with a
    // message, when the file cannot be opened.
    bool startLog(const std::string& path, const merovan::LogOptions& options);
    void stopLog();
    bool logging() const { return m_log && m_log->active(); }
    // The log's form as last chosen (and saved in the settings).
    const merovan::LogOptions& logOptions() const { return m_logOptions; }
    void mnu_logClick();
    void mnu_saveViewClick();
    // Writes the view's text to path; false, with a message, on failure.
    bool saveViewTo(const std::string& path);
    void mnu_findClick();
    void mnu_breakClick();
    // Hex view and timestamps apply to what is shown from then on.
    void setHexView(bool on);
    void setViewTimestamps(bool on);
    // True while the port went away and the window waits for it to return.
    bool waitingForReconnect() const { return m_waiting; }
    // The wall clock that timestamps lines (tests put in their own).
    void setWallClock(const merovan::WallClock* clock);
    const merovan::WallClock& wallClock() const { return *m_wall; }
    // Picks up devices that came or went: the port list, and a port that is
    // awaited. The device watch calls it; tests may too.
    void devicesChanged();
    // What the status bar shows of CTS, DSR, DCD and RI; empty when the port
    // has no such lines.
    QString lineStateText() const;
    FindBar* findBar() const { return m_findBar; }

    // ---- Line-end maps (Serial menu) ------------------------------------
    // What the Enter key sends, and how received line ends are shown. The
    // maps are for the screen and the wire: the log and the hex view keep
    // the bytes as they came.
    void setEnterMap(merovan::EnterMap map);
    merovan::EnterMap enterMap() const { return m_enterMap; }
    void setIncomingMap(merovan::IncomingMap map);
    merovan::IncomingMap incomingMap() const { return m_incoming.map(); }
    // The bytes the Enter key sends, for every view that sends it.
    std::span<const std::uint8_t> enterKeyBytes() const { return merovan::enterBytes(m_enterMap); }
    // Received bytes through the incoming map, as a view is to show them;
    // the span lasts until the next call.
    std::span<const std::uint8_t> mapIncoming(std::span<const std::uint8_t> bytes);

    // ---- Characters above 7F ---------------------------------------------
    // One setting (Serial > Characters) for typing, scripts, the texts sent
    // before a transfer and the view; kept in the settings file. Every view
    // of received data follows it: charsetChanged() tells when it changes.
    merovan::Charset charset() const { return m_charset; }
    void setCharset(merovan::Charset charset);
    // text as the bytes the port gets in the current charset; a character
    // that has none is left out, and reported in dropped when given.
    std::string encodeText(const QString& text, QString* dropped = nullptr) const;

signals:
    void charsetChanged();

public:
    // ---- Terminal emulation ----------------------------------------------
    // Switches between the emulated screen and the raw view; the raw text
    // stays, and the screen's text is kept in the view when leaving.
    void setEmulation(bool on);
    bool emulating() const;
    merovan::VtScreen& screen() const { return *m_vt; }
    // The emulated screen's rows as text, empty in the raw view.
    QString screenText() const;


protected:
    void closeEvent(QCloseEvent* event) override;
    // The modem lines are polled only while the window can show them.
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct DialogSlot
    {
        QWidget* dialog = nullptr;
        bool shown = false;
        QToolButton* button = nullptr;
    };

    void buildMenus();
    void buildBars();
    // Says in the bottom line when the data-bit count is one the port cannot use.
    void showDataBitsNote(const QString& bits);
    void toggleDialog(Dialog which);
    void setLineControlsEnabled(bool enabled);
    // The button, the menu's check mark and the line controls, as the
    // button leaves them when it goes down (connected) or up.
    void setConnectedControls(bool down);
    // Opens the port the boxes name; false, with the reason in the bottom
    // panel and the port closed, when it cannot.
    bool openConnection();
    void handleDisconnect();
    void drainPort();
    void portReadable();
    // Restarts the refresh of the byte counts after data or a send.
    void kickStatus();
    // Starts or stops the modem-line poll as the window is shown or not.
    void updateLineTimer();
    void watchForZmodem(std::span<const std::uint8_t> bytes);
    void zmodemStarted();
    void beginTransfer(QWidget* cancelButton);
    void endTransfer(QWidget* cancelButton, bool closingCr = true);
    void watchPort();
    void writeMainSections(merovan::IniFile& ini) const;
    void buildTerminalMenus();
    void buildStatusRow(QWidget* central);
    void startDeviceWatch();
    void fillPortList(bool keepSelection);
    void restorePortChoice(const merovan::IniFile& ini);
    void readTerminalSettings(const merovan::IniFile& ini);
    void writeTerminalSections(merovan::IniFile& ini) const;
    void showReceived();
    void showBytes(TerminalView* view, std::span<const std::uint8_t> bytes, std::int64_t atMs);
    void rememberConnection(const std::string& path, const std::string& settings);
    void tryReconnect();
    void showPortNotices();
    void startLineState();
    void stopLineState();
    void pollLineState();
    void pollLog();
    void updateLogLabel();
    DialogSlot& slot(Dialog which);
    void buildEmulation(QBoxLayout* layout);
    void buildEmulationMenu(QMenu* view);
    void syncScreenLook();
    // Feeds the screen; false when the bytes are still to be shown raw (hex).
    bool feedEmulation(TerminalView* view, std::span<const std::uint8_t> bytes, std::int64_t atMs);
    // The screen's rows as text lines, up to the last one that holds any.
    std::string screenRowsText() const;
    // Keys, pastes and the screen's answers; typed ones are echoed.
    void sendToDevice(std::span<const std::uint8_t> bytes, bool typed);
    void readEmulationSettings(const merovan::IniFile& ini);
    void writeEmulationSettings(merovan::IniFile& ini) const;

    merovan::SerialPort& m_port;
    std::string m_settingsPath;
    merovan::TerminalTextFormatter m_formatter;
    std::function<void(const QString&)> m_messageHandler;
    std::function<void(bool)> m_ctsWarning;
    std::vector<SettingsSection*> m_sections;
    DialogSlot m_text, m_binary, m_script, m_boot;
    bool m_connected = false;
    bool m_shutDown = false;
    QColor m_lastChosenColour { Qt::black };
    std::vector<std::uint8_t> m_receive;
    QSocketNotifier* m_portNotifier = nullptr;
    std::vector<QAbstractButton*> m_sendButtons;
    bool m_transferRunning = false;
    merovan::ZmodemStartDetector m_zmodemStart;
    std::function<void()> m_zmodemStartHandler;
    std::function<void(std::span<const std::uint8_t>)> m_receiveTap;
    std::function<void(std::span<const std::uint8_t>)> m_receiveObserver;
    bool m_zmodemStartPending = false;

    QMenu* m_fileMenu = nullptr;
    QMenu* m_editMenu = nullptr;
    QMenu* m_serialMenu = nullptr;
    QMenu* m_helpMenu = nullptr;
    merovan::SystemWallClock m_systemWall;
    const merovan::WallClock* m_wall = &m_systemWall;
    std::unique_ptr<merovan::SessionLog> m_log;
    std::string m_logFile;
    merovan::LogOptions m_logOptions;
    merovan::LineStamper m_viewStamper;
    merovan::EnterMap m_enterMap = merovan::EnterMap::Cr;
    merovan::IncomingLineMapper m_incoming;
    std::vector<std::uint8_t> m_mapped;
    merovan::StampedHexDump m_hex;
    int m_hexTail = 0; // characters of the unfinished row at the view's end
    std::vector<std::pair<std::size_t, std::int64_t>> m_receiveTimes; // offset in m_receive, read time
    FindBar* m_findBar = nullptr;
    std::unique_ptr<merovan::VtScreen> m_vt;
    QSplitter* m_viewSplit = nullptr;
    std::string m_vtScrolled; // lines off the screen's top, not shown yet
    bool m_vtShown = false;
    std::unique_ptr<merovan::DeviceWatch> m_deviceWatch;
    QSocketNotifier* m_watchNotifier = nullptr;
    QTimer* m_hotplugTimer = nullptr;
    QTimer* m_retryTimer = nullptr;
    int m_retriesLeft = 0;
    QTimer* m_lineTimer = nullptr;
    QTimer* m_logTimer = nullptr;   // the log's unended line, while idle
    bool m_receiving = true;
    std::uint8_t m_lastByte = 0;          // the latest byte the terminal took in
    std::uint64_t m_lastByteMs = 0;       // when, on the port's clock
    bool m_haveLineState = false;
    std::uint8_t m_lineBits = 0xFF;
    bool m_waiting = false;
    std::uint64_t m_readBase = 0;    // the port's counts when the user connected
    std::uint64_t m_writtenBase = 0;
    std::string m_lastPath;
    std::string m_lastIdentity;
    std::string m_lastSettings;
    merovan::Charset m_charset = merovan::Charset::Latin1;
    std::vector<std::string> m_remotePorts; // network port names used, newest first

public:
    // Controls, named as the user guide and the tests know them.
    TerminalView* RichEdit1 = nullptr;
    QLabel* lbl_bytes = nullptr; // received and sent byte counts
    QTimer* m_statusTimer = nullptr;
    QTimer* Timer1 = nullptr;
    QWidget* Panel1 = nullptr;
    QWidget* SpeedPanel = nullptr;
    QLabel* Panel2 = nullptr;
    QToolButton* spd_settings = nullptr;
    QToolButton* spd_binary = nullptr;
    QToolButton* spd_script = nullptr;
    QToolButton* spb_boot = nullptr;
    QToolButton* spd_reset = nullptr;
    QToolButton* spd_close = nullptr;
    QToolButton* spd_connect = nullptr;
    QToolButton* spd_refresh = nullptr;
    QComboBox* cbo_port = nullptr;
    QComboBox* cbo_baud = nullptr;
    QComboBox* cbo_stop = nullptr;
    QComboBox* cbo_data = nullptr;
    QAction* OpenItem = nullptr;
    QAction* SaveItem = nullptr;
    QAction* Clearscreen1 = nullptr;
    QAction* ExitItem = nullptr;
    QAction* Cut1 = nullptr;
    QAction* Copy1 = nullptr;
    QAction* Paste1 = nullptr;
    QAction* Font1 = nullptr;
    QAction* Colour1 = nullptr;
    QAction* mnu_refresh = nullptr;
    QAction* mnu_connect = nullptr;
    QAction* mnu_echo = nullptr;
    QAction* mnu_cts = nullptr;
    QAction* mnu_rts = nullptr;
    QAction* About1 = nullptr;
    TAboutBox* AboutBox = nullptr;
    QAction* mnu_log = nullptr;
    QAction* mnu_saveView = nullptr;
    QAction* mnu_find = nullptr;
    QAction* mnu_timestamps = nullptr;
    QAction* mnu_hex = nullptr;
    QAction* mnu_reconnect = nullptr;
    QAction* mnu_break = nullptr;
    QMenu* mnu_enter = nullptr;
    QAction* mnu_enterCr = nullptr;
    QAction* mnu_enterLf = nullptr;
    QAction* mnu_enterCrLf = nullptr;
    QMenu* mnu_incoming = nullptr;
    QAction* mnu_inAsReceived = nullptr;
    QAction* mnu_inLfCrLf = nullptr;
    QAction* mnu_inCrNewLine = nullptr;
    QMenu* mnu_characters = nullptr;
    QAction* mnu_latin1 = nullptr;
    QAction* mnu_utf8 = nullptr;
    QLabel* lbl_log = nullptr;
    QLabel* lbl_lines = nullptr;
    LogDialog* dlg_log = nullptr;
    QAction* mnu_emulation = nullptr;
    QAction* mnu_backspaceDel = nullptr;
    VtView* vt_screen = nullptr;
};

// The view's font for a stored family: that family when it is installed,
// else the system's fixed-pitch font; plain, not bold or italic.
QFont viewFont(const QString& family);

// The program's message box ("Merovan", an information icon, OK), at least
// as wide as its caption needs on a window manager's title bar.
std::unique_ptr<QMessageBox> programMessageBox(QWidget* parent, const QString& text);

// Colours are stored as 0x00BBGGRR.
QColor colorFromStored(std::int64_t value);
std::int64_t storedFromColor(const QColor& color);
