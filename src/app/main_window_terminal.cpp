// SPDX-License-Identifier: GPL-3.0-or-later
// The terminal window's everyday tools: the session log, timestamps and the
// hex view, find and save, the port list with identities, hot-plug,
// reconnecting, the line state and break.

#include "app/find_bar.h"
#include "app/log_dialog.h"
#include "app/main_window.h"
#include "app/port_list.h"
#include "app/terminal_view.h"
#include "app/vt_view.h"
#include "dialogs/recent_list.h"
#include "serial/device_watch.h"
#include "serial/network_port.h"
#include "serial/port_enumeration.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"
#include "settings/stored_list.h"

#include <QAbstractItemView>
#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using recent_list::fromBytes;
using recent_list::toBytes;

// Device nodes appear in bursts (the node, then its by-id link, then its
// permissions); one look after the burst is enough.
constexpr int kHotplugSettleMs = 150;
// A returned device may not be ready for us at once (udev still setting its
// permissions); so many further tries, this far apart, follow each change.
constexpr int kReconnectRetries = 8;
constexpr int kReconnectRetryMs = 250;
// A device server that went away is tried again this often, for as long as
// the connection is wanted: nothing announces its return.
constexpr int kNetworkRetryMs = 1000;
// Network port names kept for the port box, newest first.
constexpr std::size_t kMaxRemotePorts = 8;
constexpr int kLineStateMs = 100;

enum LineBit : std::uint8_t { kCts = 1, kDsr = 2, kDcd = 4, kRi = 8 };

} // namespace

void Tfrm_Main::buildTerminalMenus()
{
    auto make = [this](const char* name, const char* caption) {
        auto* a = new QAction(QLatin1String(caption), this);
        a->setObjectName(QLatin1String(name));
        return a;
    };
    mnu_log = make("mnu_log", "&Log to file...");
    mnu_log->setCheckable(true);
    mnu_log->setStatusTip(QStringLiteral("Start or stop logging the session to a file"));
    mnu_saveView = make("mnu_saveView", "Save &view as...");
    m_fileMenu->insertAction(ExitItem, mnu_log);
    m_fileMenu->insertAction(ExitItem, mnu_saveView);
    m_fileMenu->insertSeparator(ExitItem);

    QMenu* view = new QMenu(QStringLiteral("&View"), this);
    view->setObjectName(QStringLiteral("mnu_view"));
    menuBar()->insertMenu(m_serialMenu->menuAction(), view);
    mnu_find = make("mnu_find", "&Find...");
    mnu_find->setShortcut(QKeySequence::Find);
    mnu_timestamps = make("mnu_timestamps", "&Timestamps");
    mnu_timestamps->setCheckable(true);
    mnu_hex = make("mnu_hex", "&Hex view");
    mnu_hex->setCheckable(true);
    view->addAction(mnu_find);
    view->addSeparator();
    view->addAction(mnu_timestamps);
    view->addAction(mnu_hex);
    buildEmulationMenu(view);

    mnu_break = make("mnu_break", "Send &break");
    mnu_reconnect = make("mnu_reconnect", "&Auto-reconnect");
    mnu_reconnect->setCheckable(true);
    mnu_reconnect->setChecked(true);
    // Line ends, beside the echo: the three settings of a terminal's line.
    auto choices = [this, make](QMenu*& menu, const char* name, const char* caption,
                                std::initializer_list<std::pair<QAction**, std::pair<const char*, const char*>>> items) {
        menu = new QMenu(QLatin1String(caption), this);
        menu->setObjectName(QLatin1String(name));
        auto* group = new QActionGroup(menu);
        for (const auto& [action, text] : items) {
            *action = make(text.first, text.second);
            (*action)->setCheckable(true);
            group->addAction(*action);
            menu->addAction(*action);
        }
        m_serialMenu->insertMenu(mnu_cts, menu);
    };
    choices(mnu_enter, "mnu_enter", "E&nter sends",
            { { &mnu_enterCr, { "mnu_enterCr", "CR" } },
              { &mnu_enterLf, { "mnu_enterLf", "LF" } },
              { &mnu_enterCrLf, { "mnu_enterCrLf", "CR LF" } } });
    choices(mnu_incoming, "mnu_incoming", "&Incoming line ends",
            { { &mnu_inAsReceived, { "mnu_inAsReceived", "As received" } },
              { &mnu_inLfCrLf, { "mnu_inLfCrLf", "LF also returns the carriage" } },
              { &mnu_inCrNewLine, { "mnu_inCrNewLine", "A lone CR is a new line" } } });
    mnu_enterCr->setChecked(true);
    mnu_inAsReceived->setChecked(true);
    const std::pair<QAction*, merovan::EnterMap> enterItems[] = { { mnu_enterCr, merovan::EnterMap::Cr },
                                                                  { mnu_enterLf, merovan::EnterMap::Lf },
                                                                  { mnu_enterCrLf, merovan::EnterMap::CrLf } };
    for (const auto& [action, map] : enterItems)
        connect(action, &QAction::triggered, this, [this, map] { setEnterMap(map); });
    const std::pair<QAction*, merovan::IncomingMap> incomingItems[]
        = { { mnu_inAsReceived, merovan::IncomingMap::AsReceived },
            { mnu_inLfCrLf, merovan::IncomingMap::LfAddsCr },
            { mnu_inCrNewLine, merovan::IncomingMap::LoneCrBreaks } };
    for (const auto& [action, map] : incomingItems)
        connect(action, &QAction::triggered, this, [this, map] { setIncomingMap(map); });

    m_serialMenu->addSeparator();
    m_serialMenu->addAction(mnu_break);
    m_serialMenu->addAction(mnu_reconnect);

    mnu_characters = m_serialMenu->addMenu(QStringLiteral("C&haracters"));
    mnu_characters->setObjectName(QStringLiteral("mnu_characters"));
    mnu_characters->setToolTipsVisible(true);
    mnu_latin1 = make("mnu_latin1", "&Latin-1");
    mnu_latin1->setToolTip(QStringLiteral("One byte per character; bytes above 7F shown as [xx]"));
    mnu_utf8 = make("mnu_utf8", "&UTF-8");
    mnu_utf8->setToolTip(QStringLiteral("Characters above 7F sent and shown as UTF-8"));
    auto* charsets = new QActionGroup(this);
    for (QAction* a : { mnu_latin1, mnu_utf8 }) {
        a->setCheckable(true);
        charsets->addAction(a);
        mnu_characters->addAction(a);
    }
    mnu_latin1->setChecked(true);
    connect(mnu_latin1, &QAction::triggered, this, [this] { setCharset(merovan::Charset::Latin1); });
    connect(mnu_utf8, &QAction::triggered, this, [this] { setCharset(merovan::Charset::Utf8); });

    connect(mnu_log, &QAction::triggered, this, [this] {
        // The check mark shows whether a log runs; the handler sets it.
        mnu_log->setChecked(logging());
        mnu_logClick();
    });
    connect(mnu_saveView, &QAction::triggered, this, &Tfrm_Main::mnu_saveViewClick);
    connect(mnu_find, &QAction::triggered, this, &Tfrm_Main::mnu_findClick);
    connect(mnu_timestamps, &QAction::toggled, this, &Tfrm_Main::setViewTimestamps);
    connect(mnu_hex, &QAction::toggled, this, &Tfrm_Main::setHexView);
    connect(mnu_break, &QAction::triggered, this, &Tfrm_Main::mnu_breakClick);
}

void Tfrm_Main::buildStatusRow(QWidget* central)
{
    m_findBar = new FindBar(RichEdit1, central);
    central->layout()->addWidget(m_findBar);

    auto* row = new QWidget(central);
    row->setObjectName(QStringLiteral("StatusRow"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(Panel2, 1);
    auto panel = [row](const char* name) {
        auto* l = new QLabel(row);
        l->setObjectName(QLatin1String(name));
        l->setMinimumHeight(20);
        l->setFrameShape(QFrame::Panel);
        l->setFrameShadow(QFrame::Sunken);
        l->setTextFormat(Qt::RichText);
        l->hide();
        return l;
    };
    lbl_lines = panel("lbl_lines");
    lbl_lines->setToolTip(QStringLiteral("Modem lines: bold when active"));
    lbl_log = panel("lbl_log");
    lbl_log->setTextFormat(Qt::PlainText);
    layout->addWidget(lbl_lines);
    layout->addWidget(lbl_log);
    central->layout()->addWidget(row);

    m_lineTimer = new QTimer(this);
    m_lineTimer->setInterval(kLineStateMs);
    connect(m_lineTimer, &QTimer::timeout, this, &Tfrm_Main::pollLineState);
    m_logTimer = new QTimer(this);
    m_logTimer->setSingleShot(true);
    m_logTimer->setInterval(static_cast<int>(merovan::SessionLog::kFlushAfterMs));
    connect(m_logTimer, &QTimer::timeout, this, &Tfrm_Main::pollLog);
    m_hotplugTimer = new QTimer(this);
    m_hotplugTimer->setSingleShot(true);
    m_hotplugTimer->setInterval(kHotplugSettleMs);
    connect(m_hotplugTimer, &QTimer::timeout, this, &Tfrm_Main::devicesChanged);
    m_retryTimer = new QTimer(this);
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setInterval(kReconnectRetryMs);
    connect(m_retryTimer, &QTimer::timeout, this, &Tfrm_Main::tryReconnect);
}

void Tfrm_Main::setWallClock(const merovan::WallClock* clock)
{
    m_wall = clock ? clock : &m_systemWall;
}

// ---- Settings --------------------------------------------------------------

void Tfrm_Main::restorePortChoice(const merovan::IniFile& ini)
{
    m_remotePorts.clear();
    for (const std::string& name : merovan::splitList(ini.readString("PORT", "Remote", ""))) {
        if (merovan::isNetworkPortName(name) && m_remotePorts.size() < kMaxRemotePorts)
            m_remotePorts.push_back(name);
    }
    if (!m_remotePorts.empty())
        fillPortList(true);
    const std::string identity = ini.readString("PORT", "Identity", "");
    const std::string path = ini.readString("PORT", "Path", "");
    if (identity.empty() && path.empty())
        return; // settings from before ports had names: the index stands
    // The same device, wherever it is now; else the same path; else none,
    // rather than whichever device now has the old place in the list.
    int index = -1;
    for (int i = 0; i < cbo_port->count() && !identity.empty(); ++i) {
        if (toBytes(cbo_port->itemData(i, kPortIdentityRole).toString()) == identity)
            index = i;
    }
    if (index < 0 && identity.empty())
        index = cbo_port->findText(fromBytes(path));
    cbo_port->setCurrentIndex(index);
    if (index < 0)
        cbo_port->setEditText(QString());
}

void Tfrm_Main::readTerminalSettings(const merovan::IniFile& ini)
{
    mnu_timestamps->setChecked(ini.readInteger("VIEW", "Timestamps", 0) != 0);
    mnu_hex->setChecked(ini.readInteger("VIEW", "Hex", 0) != 0);
    mnu_reconnect->setChecked(ini.readInteger("PORT", "Reconnect", 1) != 0);
    setEnterMap(merovan::enterMapFromName(ini.readString("TERMINAL", "Enter", "")).value_or(merovan::EnterMap::Cr));
    setIncomingMap(merovan::incomingMapFromName(ini.readString("TERMINAL", "Incoming", ""))
                       .value_or(merovan::IncomingMap::AsReceived));
    m_logFile = ini.readString("LOG", "File", "");
    m_logOptions.form = ini.readInteger("LOG", "Raw", 0) != 0 ? merovan::LogForm::Raw : merovan::LogForm::View;
    m_logOptions.timestamps = ini.readInteger("LOG", "Timestamps", 0) != 0;
    m_logOptions.includeSent = ini.readInteger("LOG", "Sent", 0) != 0;
    m_logOptions.overwrite = ini.readInteger("LOG", "Overwrite", 0) != 0;
    setCharset(ini.readString("TERMINAL", "Characters", "Latin-1") == "UTF-8" ? merovan::Charset::Utf8
                                                                        : merovan::Charset::Latin1);
}

void Tfrm_Main::writeTerminalSections(merovan::IniFile& ini) const
{
    // The port as the user chose it, and what identifies its device.
    const std::string path = m_lastPath.empty() ? toBytes(cbo_port->currentText().trimmed()) : m_lastPath;
    std::string identity = m_lastPath.empty() ? std::string() : m_lastIdentity;
    if (m_lastPath.empty()) {
        const int index = cbo_port->currentIndex();
        identity = index >= 0 && cbo_port->itemText(index) == cbo_port->currentText()
            ? toBytes(cbo_port->itemData(index, kPortIdentityRole).toString())
            : merovan::describePort(path).identity();
    }
    ini.writeString("PORT", "Path", path);
    ini.writeString("PORT", "Identity", identity);
    ini.writeString("PORT", "Remote", merovan::joinList(m_remotePorts));
    ini.writeInteger("VIEW", "Timestamps", mnu_timestamps->isChecked() ? 1 : 0);
    ini.writeInteger("VIEW", "Hex", mnu_hex->isChecked() ? 1 : 0);
    ini.writeInteger("PORT", "Reconnect", mnu_reconnect->isChecked() ? 1 : 0);
    ini.writeString("TERMINAL", "Enter", std::string(merovan::enterMapName(m_enterMap)));
    ini.writeString("TERMINAL", "Incoming", std::string(merovan::incomingMapName(m_incoming.map())));
    ini.writeString("TERMINAL", "Characters", m_charset == merovan::Charset::Utf8 ? "UTF-8" : "Latin-1");
    ini.writeString("LOG", "File", m_logFile);
    ini.writeInteger("LOG", "Raw", m_logOptions.form == merovan::LogForm::Raw ? 1 : 0);
    ini.writeInteger("LOG", "Timestamps", m_logOptions.timestamps ? 1 : 0);
    ini.writeInteger("LOG", "Sent", m_logOptions.includeSent ? 1 : 0);
    ini.writeInteger("LOG", "Overwrite", m_logOptions.overwrite ? 1 : 0);
}

// ---- The view's forms ------------------------------------------------------

void Tfrm_Main::showReceived()
{
    if (m_receiveTimes.empty()) {
        Show_text(RichEdit1, m_receive);
    } else {
        // Each part with the time it was read, so lines carry their own.
        const std::span<const std::uint8_t> all(m_receive);
        std::size_t at = 0;
        std::int64_t when = m_receiveTimes.front().second;
        for (const auto& [offset, ms] : m_receiveTimes) {
            if (offset > at)
                showBytes(RichEdit1, all.subspan(at, offset - at), when);
            at = std::max(at, offset);
            when = ms;
        }
        if (at < all.size())
            showBytes(RichEdit1, all.subspan(at), when);
        m_receiveTimes.clear();
    }
    m_receive.clear();
}

void Tfrm_Main::showBytes(TerminalView* view, std::span<const std::uint8_t> bytes, std::int64_t atMs)
{
    if (!bytes.empty() && view->property("hintText").isValid()) {
        view->setProperty("hintText", QVariant());
        view->viewport()->update();
    }
    if (emulating() && feedEmulation(view, bytes, atMs))
        return;
    std::string text;
    if (mnu_hex->isChecked()) {
        // The unfinished last row is shown, then replaced once it grows.
        m_hex.feed(bytes, atMs, text);
        const std::string tail = m_hex.partialRow();
        if (m_hexTail > 0)
            view->removeTrailing(m_hexTail);
        text += tail;
        m_hexTail = static_cast<int>(tail.size());
    } else if (mnu_timestamps->isChecked()) {
        m_viewStamper.stamp(m_formatter.format(mapIncoming(bytes)), atMs, text);
    } else {
        text = m_formatter.format(mapIncoming(bytes));
    }
    if (!text.empty())
        view->showText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void Tfrm_Main::setCharset(merovan::Charset charset)
{
    (charset == merovan::Charset::Utf8 ? mnu_utf8 : mnu_latin1)->setChecked(true);
    if (charset == m_charset)
        return;
    m_charset = charset;
    m_formatter.setCharset(charset);
    RichEdit1->setCharset(charset);
    emit charsetChanged();
}

std::string Tfrm_Main::encodeText(const QString& text, QString* dropped) const
{
    std::string out;
    for (const char32_t c : text.toUcs4()) {
        if (!merovan::encodeCharacter(c, m_charset, out) && dropped)
            *dropped += QString::fromUcs4(&c, 1);
    }
    return out;
}

// ---- Line-end maps ---------------------------------------------------------

void Tfrm_Main::setEnterMap(merovan::EnterMap map)
{
    m_enterMap = map;
    QAction* item = map == merovan::EnterMap::Lf ? mnu_enterLf
        : map == merovan::EnterMap::CrLf         ? mnu_enterCrLf
                                                 : mnu_enterCr;
    if (item)
        item->setChecked(true);
    if (vt_screen) {
        const auto bytes = enterKeyBytes();
        vt_screen->setEnterBytes(QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    }
}

void Tfrm_Main::setIncomingMap(merovan::IncomingMap map)
{
    m_incoming.setMap(map);
    QAction* item = map == merovan::IncomingMap::LfAddsCr ? mnu_inLfCrLf
        : map == merovan::IncomingMap::LoneCrBreaks       ? mnu_inCrNewLine
                                                          : mnu_inAsReceived;
    if (item)
        item->setChecked(true);
}

std::span<const std::uint8_t> Tfrm_Main::mapIncoming(std::span<const std::uint8_t> bytes)
{
    m_mapped.clear();
    m_incoming.apply(bytes, m_mapped);
    return m_mapped;
}

void Tfrm_Main::setHexView(bool on)
{
    if (mnu_hex->isChecked() != on) {
        mnu_hex->setChecked(on); // runs this again through the toggle
        return;
    }
    // The dump starts on a line of its own, at offset 0; a row still being
    // filled when it ends stays as it is.
    m_hex.reset();
    m_hex.setTimestamps(mnu_timestamps->isChecked());
    m_hexTail = 0;
    m_formatter.reset();
    m_viewStamper.reset();
    if (RichEdit1->lineCount() > 0 && !RichEdit1->line(RichEdit1->lineCount() - 1).isEmpty())
        RichEdit1->showText(QStringLiteral("\n"));
}

void Tfrm_Main::setViewTimestamps(bool on)
{
    if (mnu_timestamps->isChecked() != on) {
        mnu_timestamps->setChecked(on);
        return;
    }
    m_hex.setTimestamps(on);
    // A line under way is not stamped afterwards; the next one is.
    const bool midLine = RichEdit1->lineCount() > 0 && !RichEdit1->line(RichEdit1->lineCount() - 1).isEmpty();
    m_viewStamper.reset();
    if (midLine) {
        std::string ignored;
        m_viewStamper.setEnabled(false);
        m_viewStamper.stamp("x", 0, ignored);
        m_viewStamper.setEnabled(true);
    }
    if (!on)
        m_receiveTimes.clear();
}

// ---- Log -------------------------------------------------------------------

bool Tfrm_Main::startLog(const std::string& path, const merovan::LogOptions& options)
{
    stopLog();
    std::string reason;
    auto sink = merovan::openLogFile(path, options.overwrite, reason);
    if (!sink) {
        showMessage(QStringLiteral("Cannot write the log %1: %2").arg(fromBytes(path), fromBytes(reason)));
        updateLogLabel();
        return false;
    }
    m_logFile = path;
    m_logOptions = options;
    // The disk is written on a thread of its own: the view never waits for it.
    m_log = std::make_unique<merovan::SessionLog>(merovan::writeOnThread(std::move(sink)), options, *m_wall,
                                                  m_port.clock(), path);
    m_log->setScreenText(emulating());
    updateLogLabel();
    return true;
}

void Tfrm_Main::stopLog()
{
    if (m_log && m_log->screenText()) {
        // The log ends with what the screen shows.
        flushReceived();
        m_log->shown(screenRowsText());
    }
    if (m_log)
        m_log->stop();
    m_log.reset();
    updateLogLabel();
}

void Tfrm_Main::pollLog()
{
    if (!m_log)
        return;
    m_log->poll();
    if (const std::string notice = m_log->takeNotice(); !notice.empty())
        Panel2->setText(fromBytes(notice));
    const std::string failure = m_log->takeFailure();
    if (failure.empty()) {
        // A line not yet ended is written 200 ms on, with or without ticks.
        if (m_log->waiting() && !m_logTimer->isActive())
            m_logTimer->start();
        return;
    }
    m_log.reset();
    updateLogLabel();
    // Told once, after the tick: the terminal goes on meanwhile.
    QTimer::singleShot(0, this, [this, failure] { showMessage(fromBytes(failure)); });
}

void Tfrm_Main::updateLogLabel()
{
    if (mnu_log)
        mnu_log->setChecked(logging());
    if (!lbl_log)
        return;
    lbl_log->setVisible(logging());
    if (logging()) {
        lbl_log->setText(QStringLiteral("Log: ") + fromBytes(m_logFile));
        lbl_log->setToolTip(fromBytes(m_logFile));
    }
}

void Tfrm_Main::mnu_logClick()
{
    if (logging()) {
        stopLog();
        return;
    }
    if (!dlg_log)
        dlg_log = new LogDialog(this);
    dlg_log->setChoice(fromBytes(m_logFile), m_logOptions);
    if (dlg_log->exec() == QDialog::Accepted)
        startLog(toBytes(dlg_log->file()), dlg_log->options());
    RichEdit1->setFocus();
}

// ---- Find and save ---------------------------------------------------------

void Tfrm_Main::mnu_findClick()
{
    m_findBar->open();
}

bool Tfrm_Main::saveViewTo(const std::string& path)
{
    // In emulation the screen follows the lines that scrolled off it.
    const QString text = RichEdit1->text() + screenText();
    const QByteArray bytes = m_charset == merovan::Charset::Utf8 ? text.toUtf8() : text.toLatin1();
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    int err = errno;
    if (f) {
        ok = std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), f)
            == static_cast<std::size_t>(bytes.size());
        err = errno;
        ok = std::fclose(f) == 0 && ok;
        if (!ok && err == 0)
            err = errno;
    }
    if (!ok)
        showMessage(QStringLiteral("Cannot write %1: %2")
                        .arg(fromBytes(path), fromBytes(std::strerror(err != 0 ? err : EIO))));
    return ok;
}

void Tfrm_Main::mnu_saveViewClick()
{
    const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Save view as"), QString(),
                                                      QStringLiteral("Text files (*.txt *.log);;All Files (*)"));
    if (!name.isEmpty())
        saveViewTo(toBytes(name));
    RichEdit1->setFocus();
}

// ---- Port list and hot-plug ------------------------------------------------

void Tfrm_Main::fillPortList(bool keepSelection)
{
    const QString current = cbo_port->currentText();
    const bool hadSelection = cbo_port->currentIndex() >= 0;
    if (!cbo_port->itemDelegate() || !dynamic_cast<PortItemDelegate*>(cbo_port->itemDelegate()))
        cbo_port->setItemDelegate(new PortItemDelegate(cbo_port));
    cbo_port->clear();
    cbo_port->setEditText(QString());
    int widest = 0;
    const QFontMetrics fm(cbo_port->font());
    std::vector<merovan::PortInfo> ports = m_port.enumeratePortInfo();
    // The list leaves out the port this program holds; it is still a port.
    if (m_port.isOpen()) {
        const auto held = std::find_if(ports.begin(), ports.end(),
                                       [this](const merovan::PortInfo& p) { return p.path == m_port.path(); });
        if (held == ports.end()) {
            const auto at = std::find_if(ports.begin(), ports.end(),
                                         [this](const merovan::PortInfo& p) { return p.path > m_port.path(); });
            ports.insert(at, merovan::describePort(m_port.path()));
        }
    }
    for (const merovan::PortInfo& info : ports) {
        const int i = cbo_port->count();
        const QString description = fromBytes(info.description());
        cbo_port->addItem(fromBytes(info.path));
        cbo_port->setItemData(i, fromBytes(info.identity()), kPortIdentityRole);
        cbo_port->setItemData(i, description, kPortDescriptionRole);
        if (!description.isEmpty())
            cbo_port->setItemData(i, description, Qt::ToolTipRole);
        widest = std::max(widest, fm.horizontalAdvance(fromBytes(info.path) + description) + 60);
    }
    // Device servers' ports used before: nothing lists them otherwise.
    for (const std::string& name : m_remotePorts) {
        const int i = cbo_port->count();
        merovan::NetworkAddress address;
        std::string reason;
        const bool rfc2217 = merovan::parseNetworkPortName(name, address, reason) && address.rfc2217;
        const QString description = rfc2217 ? QStringLiteral("network port, RFC 2217") : QStringLiteral("network port, raw TCP");
        cbo_port->addItem(fromBytes(name));
        cbo_port->setItemData(i, description, kPortDescriptionRole);
        cbo_port->setItemData(i, description, Qt::ToolTipRole);
        widest = std::max(widest, fm.horizontalAdvance(fromBytes(name) + description) + 60);
    }
    cbo_port->view()->setMinimumWidth(widest);
    if (keepSelection) {
        const int index = hadSelection ? cbo_port->findText(current) : -1;
        cbo_port->setCurrentIndex(index);
        if (index < 0)
            cbo_port->setEditText(current);
    }
}

void Tfrm_Main::startDeviceWatch()
{
    m_deviceWatch = merovan::makeDeviceWatch(merovan::extraPortDirectories());
    const int fd = m_deviceWatch->handle();
    if (fd < 0)
        return;
    m_watchNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_watchNotifier, &QSocketNotifier::activated, this, [this] {
        if (m_deviceWatch->takeChanges())
            m_hotplugTimer->start();
    });
}

void Tfrm_Main::devicesChanged()
{
    fillPortList(true);
    if (m_waiting) {
        m_retriesLeft = kReconnectRetries;
        tryReconnect();
    }
}

// ---- Reconnecting ----------------------------------------------------------

void Tfrm_Main::rememberConnection(const std::string& path, const std::string& settings)
{
    if (merovan::isNetworkPortName(path)) {
        const bool listed = !m_remotePorts.empty() && m_remotePorts.front() == path;
        std::erase(m_remotePorts, path);
        m_remotePorts.insert(m_remotePorts.begin(), path);
        if (m_remotePorts.size() > kMaxRemotePorts)
            m_remotePorts.resize(kMaxRemotePorts);
        if (!listed)
            fillPortList(true);
    }
    m_lastPath = path;
    m_lastSettings = settings;
    m_lastIdentity = merovan::describePort(path).identity();
    m_waiting = false;
}

void Tfrm_Main::tryReconnect()
{
    if (!m_waiting || m_transferRunning || m_port.isOpen())
        return;
    const std::string path = merovan::findReturnedPort(m_lastPath, m_lastIdentity);
    if (path.empty() || m_port.openPort(path, m_lastSettings) != 0 || !m_port.isOpen()) {
        m_port.closePort();
        if (merovan::isNetworkPortName(path)) {
            m_retryTimer->start(kNetworkRetryMs);
        } else if (!path.empty() && m_retriesLeft-- > 0) {
            m_retryTimer->start(kReconnectRetryMs);
        }
        return;
    }
    m_waiting = false;
    m_connected = true;
    m_lastPath = path;
    watchPort();
    if (mnu_cts->isChecked())
        m_port.setCtsFlow(true);
    if (mnu_rts->isChecked())
        m_port.setRts(true);
    Panel2->setText(QStringLiteral("Reconnected"));
    if (m_log)
        m_log->note("Reconnected");
    showPortNotices();
    startLineState();
    fillPortList(true);
}

void Tfrm_Main::showPortNotices()
{
    // Each note once; a later one replaces an earlier one in the panel, and
    // the log keeps them all.
    for (std::string note = m_port.takeNotice(); !note.empty(); note = m_port.takeNotice()) {
        Panel2->setText(fromBytes(note));
        if (m_log)
            m_log->note(note);
    }
}

// ---- Line state and break --------------------------------------------------

void Tfrm_Main::startLineState()
{
    merovan::ModemStatus status;
    m_haveLineState = m_port.modemStatus(status) == 0;
    m_lineBits = 0xFF;
    if (!m_haveLineState) {
        // A pseudo-terminal and the like have no modem lines to show. A
        // device server reports them when it likes: keep asking.
        lbl_lines->hide();
        if (merovan::isNetworkPortName(m_port.path()))
            m_lineTimer->start();
        return;
    }
    pollLineState();
    lbl_lines->show();
    updateLineTimer();
}

void Tfrm_Main::updateLineTimer()
{
    if (!m_lineTimer)
        return;
    const bool shown = m_haveLineState && isVisible() && !isMinimized();
    if (shown && !m_lineTimer->isActive()) {
        pollLineState(); // what changed while hidden
        m_lineTimer->start();
    } else if (!shown) {
        m_lineTimer->stop();
    }
}

void Tfrm_Main::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        updateLineTimer();
}

void Tfrm_Main::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    updateLineTimer();
}

void Tfrm_Main::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    updateLineTimer();
}

void Tfrm_Main::stopLineState()
{
    if (m_lineTimer)
        m_lineTimer->stop();
    m_haveLineState = false;
    if (lbl_lines)
        lbl_lines->hide();
}

void Tfrm_Main::pollLineState()
{
    merovan::ModemStatus status;
    const bool known = m_port.isOpen() && m_port.modemStatus(status) == 0;
    // A device server's notes (an unanswered DTR/RTS) come due while the
    // line is quiet.
    if (m_port.isOpen())
        showPortNotices();
    if (!known)
        return;
    if (!m_haveLineState) {
        m_haveLineState = true;
        lbl_lines->show();
    }
    const std::uint8_t bits = static_cast<std::uint8_t>((status.cts ? kCts : 0) | (status.dsr ? kDsr : 0)
                                                        | (status.dcd ? kDcd : 0) | (status.ri ? kRi : 0));
    if (bits == m_lineBits)
        return;
    m_lineBits = bits;
    QString html;
    const std::pair<std::uint8_t, const char*> names[] = { { kCts, "CTS" }, { kDsr, "DSR" }, { kDcd, "DCD" },
                                                           { kRi, "RI" } };
    for (const auto& [bit, name] : names) {
        if (!html.isEmpty())
            html += QLatin1Char(' ');
        html += (bits & bit) ? QStringLiteral("<b>%1</b>").arg(QLatin1String(name))
                             : QStringLiteral("<span style=\"color:gray\">%1</span>").arg(QLatin1String(name));
    }
    lbl_lines->setText(html);
}

QString Tfrm_Main::lineStateText() const
{
    if (!m_haveLineState)
        return {};
    QString out;
    const std::pair<std::uint8_t, const char*> names[] = { { kCts, "CTS" }, { kDsr, "DSR" }, { kDcd, "DCD" },
                                                           { kRi, "RI" } };
    for (const auto& [bit, name] : names) {
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        out += QLatin1String(name) + ((m_lineBits & bit) ? QStringLiteral("=1") : QStringLiteral("=0"));
    }
    return out;
}

void Tfrm_Main::mnu_breakClick()
{
    if (!m_port.isOpen()) {
        Panel2->setText(QStringLiteral("No port open"));
        return;
    }
    const int rc = m_port.sendBreak();
    Panel2->setText(rc == 0 ? QStringLiteral("Break sent")
                            : QStringLiteral("Cannot send a break: ") + fromBytes(m_port.lastError()));
}

// ---- ZMODEM auto-start -----------------------------------------------------

void Tfrm_Main::setZmodemStartHandler(std::function<void()> handler)
{
    m_zmodemStartHandler = std::move(handler);
    m_zmodemStart.reset();
}

void Tfrm_Main::watchForZmodem(std::span<const std::uint8_t> bytes)
{
    if (!m_zmodemStartHandler || m_zmodemStartPending || m_transferRunning)
        return;
    if (m_zmodemStart.feed(bytes)) {
        // Not from inside the read: the handler may run a whole transfer.
        m_zmodemStartPending = true;
        QTimer::singleShot(0, this, &Tfrm_Main::zmodemStarted);
    }
}

void Tfrm_Main::zmodemStarted()
{
    // The rest of the sender's talk is for the receiver, not the view.
    setPolling(false);
    if (m_zmodemStartHandler && !m_transferRunning)
        m_zmodemStartHandler();
    m_zmodemStart.reset();
    m_zmodemStartPending = false;
    if (!m_transferRunning)
        setPolling(true);
}
