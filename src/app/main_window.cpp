// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window.h"

#include "app/about_box.h"
#include "app/elided_label.h"
#include "app/icons.h"
#include "app/settings_section.h"
#include "app/terminal_view.h"
#include "app/vt_view.h"
#include "terminal/vt_screen.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/recent_list.h"
#include "serial/clock.h"
#include "serial/device_watch.h"
#include "serial/port_holder.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"
#include "transfer/xmodem.h"

#include <QAction>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QGridLayout>
#include <QSpacerItem>
#include <QProcess>
#include <QStandardPaths>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QScreen>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdlib>
#include <limits>

namespace {

constexpr int kPollIntervalMs = 5;
constexpr std::size_t kChunk = 4090;
// Received bytes wait here for the next tick; beyond this much the port is
// left unread until the view has caught up, so the device is held back by
// the driver instead of memory growing.
constexpr std::size_t kMaxPending = 4 * 1024 * 1024;
constexpr std::uint32_t kResetPulseMs = 1000;
constexpr int kFontNameLimit = 31;
constexpr int kStatusIntervalMs = 100;
// A first start opens the view at about this many characters of its font.
constexpr int kFirstColumns = 100;
constexpr int kFirstRows = 30;

const char* const kBaudRates[] = { "300",    "600",    "1200",   "2400",   "9600",    "14400",
                                   "38400",  "56000",  "57600",  "115200", "128000",  "230400",
                                   "232558", "460800", "476190", "1382400", "2000000" };

using recent_list::fromBytes;
using recent_list::toBytes;

QToolButton* speedButton(QWidget* parent, const char* name, const char* tip, ButtonIcon icon)
{
    auto* b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setToolTip(QLatin1String(tip));
    b->setIcon(makeButtonIcon(icon));
    b->setIconSize(QSize(20, 20));
    b->setFixedSize(25, 25);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

QComboBox* dropDown(QWidget* parent, const char* name, const char* tip)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    if (tip)
        c->setToolTip(QLatin1String(tip));
    return c;
}

// The family's own name for the font's face ("Book", not "Normal"), so
// that a font dialog can find it.
QString faceStyleName(const QFont& font)
{
    QString best;
    int bestDistance = std::numeric_limits<int>::max();
    const QString family = font.family();
    for (const QString& style : QFontDatabase::styles(family)) {
        // Oblique faces do not count as italic to the database; their style does.
        const bool slanted = QFontDatabase::font(family, style, 10).style() != QFont::StyleNormal;
        if (slanted != (font.style() != QFont::StyleNormal))
            continue;
        const int distance = std::abs(QFontDatabase::weight(family, style) - static_cast<int>(font.weight()));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = style;
        }
    }
    return best;
}

// The same look: a dialog confirmed without a change gives back the font
// with its style name filled in, which is no change.
bool sameFace(const QFont& a, const QFont& b)
{
    return a.family() == b.family() && a.pointSizeF() == b.pointSizeF() && a.weight() == b.weight()
        && a.italic() == b.italic() && a.underline() == b.underline() && a.strikeOut() == b.strikeOut();
}

void selectIndex(QComboBox* box, std::int64_t index)
{
    if (index >= 0 && index < box->count()) {
        box->setCurrentIndex(static_cast<int>(index));
    } else {
        box->setCurrentIndex(-1);
        box->setEditText(QString());
    }
}

// merovan-devsim beside this program (installed), in the build tree, or on
// the PATH; MEROVAN_DEVSIM names another.
// What the bottom line says of a data-bit count the port cannot use.
QString dataBitsNote(const QString& bits)
{
    if (bits == QLatin1String("4"))
        return QStringLiteral("4 data bits: a POSIX serial port (Linux, macOS) cannot use them and will not open with them");
    return {};
}

QString devsimProgram()
{
    const QString given = qEnvironmentVariable("MEROVAN_DEVSIM");
    if (!given.isEmpty())
        return given;
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         { dir + QStringLiteral("/merovan-devsim"), dir + QStringLiteral("/../tools/devsim/merovan-devsim") }) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return QStandardPaths::findExecutable(QStringLiteral("merovan-devsim"));
}

// Starts the simulated device (once; it lives as long as the window) and
// connects to the terminal it prints on its first line.
void trySimulatedDevice(Tfrm_Main& w)
{
    auto* sim = w.findChild<QProcess*>(QStringLiteral("devsim"));
    QString port = sim ? sim->property("port").toString() : QString();
    if (!sim || sim->state() != QProcess::Running) {
        delete sim;
        const QString program = devsimProgram();
        if (program.isEmpty()) {
            w.showMessage(QStringLiteral("merovan-devsim, the simulated device, is not installed"));
            return;
        }
        sim = new QProcess(&w);
        sim->setObjectName(QStringLiteral("devsim"));
        sim->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim->start(program, {});
        QByteArray first;
        QElapsedTimer waited;
        waited.start();
        while (!first.contains('\n') && waited.elapsed() < 5000 && sim->waitForReadyRead(100))
            first += sim->readAllStandardOutput();
        first += sim->readAllStandardOutput();
        port = QString::fromLocal8Bit(first.left(first.indexOf('\n'))).trimmed();
        if (!first.contains('\n') || port.isEmpty()) {
            w.showMessage(QStringLiteral("Cannot start the simulated device %1: %2").arg(program, sim->errorString()));
            delete sim;
            return;
        }
        sim->setProperty("port", port);
    }
    if (w.spd_connect->isChecked())
        w.spd_connect->click(); // away from whatever was open
    const int index = w.cbo_port->findText(port);
    if (index >= 0)
        w.cbo_port->setCurrentIndex(index);
    else
        w.cbo_port->setEditText(port);
    w.spd_connect->click();
}

} // namespace

std::unique_ptr<QMessageBox> programMessageBox(QWidget* parent, const QString& text)
{
    const QString caption = QStringLiteral("Merovan");
    auto box = std::make_unique<QMessageBox>(QMessageBox::Information, caption, text, QMessageBox::Ok, parent);
    // A short text makes a box too narrow for its own caption, which the
    // window manager then cuts to "Me…an". The title bar's icon and buttons
    // take about a dozen lines' height beside the caption on common window
    // managers. QMessageBox sets its own size, so the width is held by a
    // spacer in its layout.
    const QFontMetrics fm(box->font());
    const int width = fm.horizontalAdvance(caption) + 12 * fm.height();
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                      grid->columnCount());
    return box;
}

QFont viewFont(const QString& family)
{
    // A family that is not installed would be replaced by whatever the font
    // system likes, often a proportional one.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    // The system's choice by the name of the face it resolves to ("DejaVu
    // Sans Mono", not an alias such as "Monospace").
    font.setFamily(QFontInfo(font).family());
    if (!family.isEmpty() && QFontDatabase::hasFamily(family))
        font.setFamily(family);
    font.setStyleHint(QFont::TypeWriter);
    font.setStyleName(QString());
    font.setBold(false);
    font.setItalic(false);
    return font;
}

QColor colorFromStored(std::int64_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    return QColor(v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF);
}

std::int64_t storedFromColor(const QColor& color)
{
    return static_cast<std::int64_t>(static_cast<std::uint32_t>(color.red())
                                     | (static_cast<std::uint32_t>(color.green()) << 8)
                                     | (static_cast<std::uint32_t>(color.blue()) << 16));
}

Tfrm_Main::Tfrm_Main(merovan::SerialPort& port, std::string settingsPath, QWidget* parent)
    : QMainWindow(parent)
    , m_port(port)
    , m_settingsPath(std::move(settingsPath))
{
    setObjectName(QStringLiteral("Tfrm_Main"));
    setWindowIcon(makeButtonIcon(ButtonIcon::Program));
    m_messageHandler = [this](const QString& text) { programMessageBox(this, text)->exec(); };

    buildMenus();
    buildBars();
    buildTerminalMenus();

    RichEdit1 = new TerminalView(this);
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    connect(RichEdit1, &TerminalView::keyTyped, this, [this](quint8 key) { RichEdit1KeyPress(key); });
    connect(RichEdit1, &TerminalView::characterRefused, this, [this](const QString& c) {
        Panel2->setText(QStringLiteral("%1 cannot be sent as Latin-1: choose Serial > Characters > UTF-8").arg(c));
    });

    Panel2 = new ElidedLabel(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setMinimumHeight(20);
    Panel2->setFrameShape(QFrame::Panel);
    Panel2->setFrameShadow(QFrame::Sunken);
    Panel2->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel1);
    layout->addWidget(SpeedPanel);
    buildEmulation(layout);
    buildStatusRow(central);
    setCentralWidget(central);

    lbl_bytes = new QLabel(Panel2->parentWidget());
    lbl_bytes->setObjectName(QStringLiteral("lbl_bytes"));
    lbl_bytes->setMinimumHeight(20);
    lbl_bytes->setFrameShape(QFrame::Panel);
    lbl_bytes->setFrameShadow(QFrame::Sunken);
    lbl_bytes->setToolTip(QStringLiteral("Bytes received and sent since connecting"));
    if (auto* row = qobject_cast<QBoxLayout*>(Panel2->parentWidget()->layout()))
        row->insertWidget(row->indexOf(Panel2) + 1, lbl_bytes);
    m_statusTimer = new QTimer(this);
    m_statusTimer->setInterval(kStatusIntervalMs);
    connect(m_statusTimer, &QTimer::timeout, this, &Tfrm_Main::updateStatus);

    AboutBox = new TAboutBox(this);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kPollIntervalMs);
    connect(Timer1, &QTimer::timeout, this, &Tfrm_Main::Timer1Timer);

    Start_up();
    startDeviceWatch();
    setPolling(true);
    updateStatus();
    SpeedPanel->setFocus();
}

namespace {
// "115200,8,N,1" as "115200 8N1".
QString lineText(const std::string& settings)
{
    QStringList f = fromBytes(settings).split(QLatin1Char(','));
    if (f.size() < 4)
        return fromBytes(settings);
    return f[0] + QLatin1Char(' ') + f[1] + f[2] + f[3];
}

QString grouped(std::uint64_t value)
{
    QString digits = QString::number(value);
    for (auto at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}
} // namespace

QString Tfrm_Main::statusTitle() const
{
    if (m_lastPath.empty())
        return QStringLiteral("Merovan    Release " MEROVAN_VERSION);
    const bool open = m_port.isOpen();
    const char* state = open ? "connected"
        : m_waiting         ? "waiting for the device"
        : m_port.wasDisconnected() ? "disconnected"
                                   : "closed";
    return QStringLiteral("Merovan \u2014 %1 %2 \u2014 %3")
        .arg(fromBytes(open ? m_port.path() : m_lastPath), lineText(m_lastSettings), QLatin1String(state));
}

void Tfrm_Main::updateStatus()
{
    if (m_port.isOpen())
        showPortNotices();
    const QString title = statusTitle();
    const QString bytes = QStringLiteral("RX %1  TX %2")
                              .arg(grouped(m_port.bytesRead() - m_readBase), grouped(m_port.bytesWritten() - m_writtenBase));
    const bool changed = windowTitle() != title || lbl_bytes->text() != bytes;
    if (windowTitle() != title)
        setWindowTitle(title);
    if (lbl_bytes->text() != bytes)
        lbl_bytes->setText(bytes);
    // The refresh stops once the counts stand still; data and sends start
    // it again (kickStatus).
    if (!changed)
        m_statusTimer->stop();
}

void Tfrm_Main::kickStatus()
{
    if (!m_statusTimer->isActive())
        m_statusTimer->start();
}

Tfrm_Main::~Tfrm_Main() = default;

void Tfrm_Main::buildMenus()
{
    auto action = [](QMenu* menu, const char* name, const char* caption) {
        auto* a = menu->addAction(QLatin1String(caption));
        a->setObjectName(QLatin1String(name));
        return a;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    m_fileMenu = file;
    OpenItem = action(file, "OpenItem", "&Open...");
    OpenItem->setStatusTip(QStringLiteral("Open a file"));
    SaveItem = action(file, "SaveItem", "&Save...");
    SaveItem->setStatusTip(QStringLiteral("Save current file"));
    Clearscreen1 = action(file, "Clearscreen1", "&Clear screen");
    ExitItem = action(file, "ExitItem", "E&xit");
    ExitItem->setStatusTip(QStringLiteral("Exit application"));
    ExitItem->setShortcut(QKeySequence(Qt::ALT | Qt::Key_X));
    ExitItem->setShortcutContext(Qt::ApplicationShortcut);
    // Nothing to open or save in a terminal: shown, but not offered.
    OpenItem->setEnabled(false);
    SaveItem->setEnabled(false);

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    m_editMenu = edit;
    Cut1 = action(edit, "Cut1", "C&ut");
    Copy1 = action(edit, "Copy1", "&Copy");
    Paste1 = action(edit, "Paste1", "&Paste");
    Font1 = action(edit, "Font1", "&Font");
    Colour1 = action(edit, "Colour1", "C&olour");

    QMenu* serial = menuBar()->addMenu(QStringLiteral("Serial"));
    m_serialMenu = serial;
    mnu_refresh = action(serial, "mnu_refresh", "&Refresh Ports");
    mnu_connect = action(serial, "mnu_connect", "&Connect");
    mnu_connect->setCheckable(true); // checked while the button is down
    mnu_echo = action(serial, "mnu_echo", "&Echo");
    mnu_cts = action(serial, "mnu_cts", "C&TS");
    mnu_rts = action(serial, "mnu_rts", "RT&S");
    for (QAction* a : { mnu_echo, mnu_cts, mnu_rts })
        a->setCheckable(true);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    m_helpMenu = help;
    auto* trySim = action(help, "mnu_trySimulated", "&Try with the simulated device");
    trySim->setStatusTip(QStringLiteral("Start merovan-devsim, a simulated device, and connect to it"));
    help->addSeparator();
    About1 = action(help, "About1", "&About...");
    connect(trySim, &QAction::triggered, this, [this] { trySimulatedDevice(*this); });

    // The check marks are toggled by their handlers, as when a test or
    // another window calls them, so Qt's own toggle is undone first.
    auto handler = [](QAction* a, auto fn) {
        QObject::connect(a, &QAction::triggered, a, [a, fn] { fn(a); });
    };
    handler(mnu_echo, [this](QAction* a) { a->setChecked(!a->isChecked()); mnu_echoClick(); });
    handler(mnu_cts, [this](QAction* a) { a->setChecked(!a->isChecked()); mnu_ctsClick(); });
    handler(mnu_rts, [this](QAction* a) { a->setChecked(!a->isChecked()); mnu_rtsClick(); });
    connect(Clearscreen1, &QAction::triggered, this, &Tfrm_Main::Clearscreen1Click);
    connect(Cut1, &QAction::triggered, this, &Tfrm_Main::Cut1Click);
    connect(Copy1, &QAction::triggered, this, &Tfrm_Main::Copy1Click);
    connect(Paste1, &QAction::triggered, this, &Tfrm_Main::Paste1Click);
    connect(Font1, &QAction::triggered, this, &Tfrm_Main::Font1Click);
    connect(Colour1, &QAction::triggered, this, &Tfrm_Main::Colour1Click);
    connect(mnu_refresh, &QAction::triggered, this, &Tfrm_Main::mnu_refreshClick);
    connect(mnu_connect, &QAction::triggered, this, [this] {
        mnu_connect->setChecked(spd_connect->isChecked());
        mnu_connectClick();
    });
    // Quits as the window's close box does: the settings are saved once.
    connect(ExitItem, &QAction::triggered, this, &QWidget::close);
    connect(About1, &QAction::triggered, this, &Tfrm_Main::About1Click);
}

void Tfrm_Main::buildBars()
{
    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    auto* upper = new QHBoxLayout(Panel1);
    upper->setContentsMargins(2, 2, 2, 2);
    upper->setSpacing(1);
    spd_settings = speedButton(Panel1, "spd_settings", "Text file transfers", ButtonIcon::TextFile);
    spd_binary = speedButton(Panel1, "spd_binary", "Binary file transfers", ButtonIcon::BinaryFile);
    spd_script = speedButton(Panel1, "spd_script", "Run script", ButtonIcon::Script);
    spb_boot = speedButton(Panel1, "spb_boot", "Load Application", ButtonIcon::BootLoader);
    spd_reset = speedButton(Panel1, "spd_reset", "Reset - DTR Low", ButtonIcon::Reset);
    spd_close = speedButton(Panel1, "spd_close", "Close COM and exit", ButtonIcon::CloseExit);
    for (QToolButton* b : { spd_settings, spd_binary, spd_script, spb_boot, spd_reset, spd_close })
        upper->addWidget(b);
    upper->addStretch(1);
    m_text.button = spd_settings;
    m_binary.button = spd_binary;
    m_script.button = spd_script;
    m_boot.button = spb_boot;
    for (QToolButton* b : { spd_settings, spd_binary, spd_script, spb_boot })
        b->setEnabled(false); // until the dialog exists
    connect(spd_settings, &QToolButton::clicked, this, &Tfrm_Main::spd_settingsClick);
    connect(spd_binary, &QToolButton::clicked, this, &Tfrm_Main::spd_binaryClick);
    connect(spd_script, &QToolButton::clicked, this, &Tfrm_Main::spd_scriptClick);
    connect(spb_boot, &QToolButton::clicked, this, &Tfrm_Main::spb_bootClick);
    connect(spd_reset, &QToolButton::clicked, this, &Tfrm_Main::spd_resetClick);
    connect(spd_close, &QToolButton::clicked, this, &Tfrm_Main::spd_closeClick);

    SpeedPanel = new QWidget(this);
    SpeedPanel->setObjectName(QStringLiteral("SpeedPanel"));
    SpeedPanel->setFocusPolicy(Qt::StrongFocus);
    auto* lower = new QHBoxLayout(SpeedPanel);
    lower->setContentsMargins(2, 2, 2, 2);
    lower->setSpacing(2);
    spd_connect = speedButton(SpeedPanel, "spd_connect", "Connect", ButtonIcon::Connect);
    spd_connect->setCheckable(true);
    spd_connect->setAutoRaise(false);
    spd_refresh = speedButton(SpeedPanel, "spd_refresh", "Refresh Ports list", ButtonIcon::Refresh);
    cbo_port = dropDown(SpeedPanel, "cbo_port", nullptr);
    cbo_port->setMinimumContentsLength(14);
    cbo_port->setEditText(QStringLiteral("<select>"));
    cbo_baud = dropDown(SpeedPanel, "cbo_baud", "Baud Rate");
    for (const char* rate : kBaudRates)
        cbo_baud->addItem(QLatin1String(rate));
    cbo_stop = dropDown(SpeedPanel, "cbo_stop", "Stop bits");
    cbo_stop->addItems({ QStringLiteral("1"), QStringLiteral("2") });
    cbo_data = dropDown(SpeedPanel, "cbo_data", "Data Bits");
    for (const char* bits : { "4", "5", "6", "7", "8" })
        cbo_data->addItem(QLatin1String(bits));
    lower->addWidget(spd_connect);
    lower->addWidget(spd_refresh);
    lower->addWidget(cbo_port, 2);
    lower->addWidget(cbo_baud, 1);
    auto boxLabel = [this](const char* name, const char* caption, QWidget* buddy) {
        auto* l = new QLabel(QLatin1String(caption), SpeedPanel);
        l->setObjectName(QLatin1String(name));
        l->setBuddy(buddy);
        return l;
    };
    lower->addWidget(boxLabel("lbl_stop", "Stop", cbo_stop));
    lower->addWidget(cbo_stop);
    lower->addWidget(boxLabel("lbl_data", "Data", cbo_data));
    lower->addWidget(cbo_data);
    connect(cbo_data, &QComboBox::currentTextChanged, this, [this](const QString& bits) { showDataBitsNote(bits); });
    lower->addStretch(1);
    connect(spd_connect, &QToolButton::clicked, this, &Tfrm_Main::spd_connectClick);
    connect(spd_refresh, &QToolButton::clicked, this, &Tfrm_Main::spd_refreshClick);
}

void Tfrm_Main::setMessageHandler(std::function<void(const QString&)> handler)
{
    m_messageHandler = std::move(handler);
}

void Tfrm_Main::setReceiveObserver(std::function<void(std::span<const std::uint8_t>)> observer)
{
    m_receiveObserver = std::move(observer);
}

void Tfrm_Main::flushReceived()
{
    if (!m_receive.empty())
        showReceived();
}

void Tfrm_Main::showMessage(const QString& text)
{
    if (m_messageHandler)
        m_messageHandler(text);
}

void Tfrm_Main::setCtsWarningHandler(std::function<void(bool)> handler)
{
    m_ctsWarning = std::move(handler);
    if (m_ctsWarning)
        m_ctsWarning(mnu_cts->isChecked());
}

// ---- Start-up and shutdown -------------------------------------------------

void Tfrm_Main::showDataBitsNote(const QString& bits)
{
    const QString note = dataBitsNote(bits);
    if (!note.isEmpty())
        Panel2->setText(note);
    else if (Panel2->text() == dataBitsNote(QStringLiteral("4")))
        Panel2->clear();
}

void Tfrm_Main::Start_up()
{
    merovan::IniFile ini(m_settingsPath);
    ini.load();

    setWindowTitle(QStringLiteral("Merovan    Release " MEROVAN_VERSION));
    mnu_refreshClick();

    selectIndex(cbo_port, ini.readInteger("COMM", "Port", 0));
    restorePortChoice(ini);
    selectIndex(cbo_baud, ini.readInteger("COMM", "Baud", 4));
    selectIndex(cbo_stop, ini.readInteger("COMM", "Stop", 0));
    selectIndex(cbo_data, ini.readInteger("COMM", "Data", 4));
    showDataBitsNote(cbo_data->currentText()); // the box may already have shown that entry

    // Placement waits for the font: a first start sizes the window by it.
    constexpr auto kUnset = std::numeric_limits<std::int64_t>::min();
    const auto width = ini.readInteger("MainFORM", "Width", kUnset);
    const auto height = ini.readInteger("MainFORM", "Height", kUnset);
    const auto left = ini.readInteger("MainFORM", "Left", kUnset);
    const auto top = ini.readInteger("MainFORM", "Top", kUnset);

    mnu_echo->setChecked(ini.readInteger("CHECKED", "Echo", 0) != 0);
    mnu_cts->setChecked(ini.readInteger("CHECKED", "CTS", 0) != 0);
    mnu_rts->setChecked(ini.readInteger("CHECKED", "RTS", 0) != 0);

    QFont font = viewFont(fromBytes(ini.readString("MainForm", "Font", "Courier New").substr(0, kFontNameLimit)));
    font.setPointSize(static_cast<int>(std::clamp<std::int64_t>(ini.readInteger("MainForm", "FontSize", 10), 1, 200)));
    font.setBold(ini.readBool("MainForm", "StyleBold", false));
    font.setItalic(ini.readBool("MainForm", "StyleItalic", false));
    RichEdit1->setFont(font);
    RichEdit1->setTextColor(colorFromStored(ini.readInteger("MainForm", "FontColor", 65535)));
    RichEdit1->setBackgroundColor(colorFromStored(ini.readInteger("MainForm", "Color", 32768)));
    readTerminalSettings(ini);
    readEmulationSettings(ini);
    if (cbo_port->count() == 0)
        RichEdit1->setProperty("hintText",
                               QStringLiteral("No serial port found. Plug a device in and choose Serial > Refresh Ports, "
                                              "or choose Help > Try with the simulated device."));

    QRect screen(0, 0, 1024, 768);
    QRect available = screen;
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        screen = s->geometry();
        available = s->availableGeometry();
    }
    const QSize first = firstStartSize().boundedTo(available.size());
    const QSize size(width == kUnset ? first.width() : static_cast<int>(width),
                     height == kUnset ? first.height() : static_cast<int>(height));
    resize(size);
    move(left == kUnset ? screen.width() / 2 - size.width() / 2 : static_cast<int>(left),
         top == kUnset ? screen.height() / 2 - size.height() / 2 : static_cast<int>(top));
}

QSize Tfrm_Main::firstStartSize() const
{
    // The view's cells with its scroll bars and frame.
    const QFontMetrics fm(RichEdit1->font());
    const int frame = 2 * RichEdit1->frameWidth();
    const QSize view(kFirstColumns * fm.horizontalAdvance(QLatin1Char('M')) + frame
                         + RichEdit1->verticalScrollBar()->sizeHint().width(),
                     kFirstRows * fm.lineSpacing() + frame + RichEdit1->horizontalScrollBar()->sizeHint().height());
    const QSize around = centralWidget()->sizeHint() - RichEdit1->sizeHint();
    const int menu = menuBar()->sizeHint().height();
    // The view spans the window's width; the bars and panels stack above
    // and below it.
    return { std::max(view.width(), centralWidget()->minimumSizeHint().width()),
             view.height() + std::max(0, around.height()) + menu };
}

void Tfrm_Main::writeMainSections(merovan::IniFile& ini) const
{
    ini.writeInteger("COMM", "Port", cbo_port->currentIndex());
    ini.writeInteger("COMM", "Baud", cbo_baud->currentIndex());
    ini.writeInteger("COMM", "Stop", cbo_stop->currentIndex());
    ini.writeInteger("COMM", "Data", cbo_data->currentIndex());

    ini.writeInteger("MainFORM", "Width", width());
    ini.writeInteger("MainFORM", "Height", height());
    ini.writeInteger("MainFORM", "Left", x());
    ini.writeInteger("MainFORM", "Top", y());

    ini.writeInteger("CHECKED", "Echo", mnu_echo->isChecked() ? 1 : 0);
    ini.writeInteger("CHECKED", "CTS", mnu_cts->isChecked() ? 1 : 0);
    ini.writeInteger("CHECKED", "RTS", mnu_rts->isChecked() ? 1 : 0);

    const QFont font = RichEdit1->font();
    ini.writeString("MainForm", "Font", toBytes(font.family()));
    ini.writeInteger("MainForm", "FontSize", font.pointSize());
    ini.writeInteger("MainForm", "FontColor", storedFromColor(RichEdit1->textColor()));
    ini.writeInteger("MainForm", "Color", storedFromColor(RichEdit1->backgroundColor()));
    ini.writeBool("MainForm", "StyleBold", font.bold());
    ini.writeBool("MainForm", "StyleItalic", font.italic());
    writeTerminalSections(ini);
    writeEmulationSettings(ini);
}

void Tfrm_Main::Shut_down()
{
    merovan::IniFile ini(m_settingsPath);
    ini.load(); // keys this program does not know stay in the file
    writeMainSections(ini);
    for (const SettingsSection* section : m_sections)
        section->saveSettings(ini);
    if (!ini.save())
        showMessage(QStringLiteral("Unable to write to %1").arg(fromBytes(m_settingsPath)));

    delete m_portNotifier;
    m_portNotifier = nullptr;
    stopLog();
    stopLineState();
    m_waiting = false;
    if (m_port.isOpen())
        m_port.closePort();
    m_connected = false;
    // A simulated device started from the Help menu ends with the window.
    if (auto* sim = findChild<QProcess*>(QStringLiteral("devsim"))) {
        sim->terminate();
        sim->waitForFinished(2000);
    }
}

void Tfrm_Main::closeEvent(QCloseEvent* event)
{
    Shut_down();
    event->accept();
}

// ---- The view --------------------------------------------------------------

void Tfrm_Main::Show_text(TerminalView* view, std::span<const std::uint8_t> bytes)
{
    showBytes(view, bytes, m_wall->epochMs());
}

void Tfrm_Main::drainPort()
{
    // Take everything that has arrived, without waiting for more. A pseudo-
    // terminal or a fast USB adapter buffers only a few kilobytes, so this
    // also runs whenever the port becomes readable, not only on the tick.
    std::uint8_t chunk[kChunk];
    // A log whose disk is behind holds the reading back (the device's bytes
    // wait in the port), never the painting of what was read.
    const auto logBehind = [this] { return m_log && m_log->backlogged(); };
    // A pseudo-terminal hands over at most 4 KB a read, and its writer waits
    // while nothing reads: keep reading while bytes come, up to a bound per
    // call so the view still gets its turn. In a flood (a full chunk taken
    // already) the next bytes follow within a millisecond, and waiting that
    // long here saves a trip through the event loop for each read; a call
    // waits so for at most a few milliseconds in all.
    constexpr std::size_t kDrainPerCall = 256 * 1024;
    constexpr int kFloodWaitMs = 1;
    constexpr std::uint64_t kFloodForMs = 4;
    const std::uint64_t began = m_port.clock().nowMs();
    std::size_t taken = 0;
    std::size_t last = 0;
    while (taken < kDrainPerCall && m_receive.size() < kMaxPending && m_port.isOpen() && !logBehind()) {
        const bool flood = last > 0 && taken >= kChunk && m_port.clock().nowMs() - began < kFloodForMs;
        const std::size_t n = flood ? m_port.readWithin(chunk, kFloodWaitMs) : m_port.readAvailable(chunk);
        last = n;
        if (n > 0) {
            // Logged and timed as it is read, however late the view shows it.
            if (m_log)
                m_log->received(std::span<const std::uint8_t>(chunk, n));
            watchForZmodem(std::span<const std::uint8_t>(chunk, n));
            if (m_receiveTap)
                m_receiveTap(std::span<const std::uint8_t>(chunk, n));
            if (m_receiveObserver)
                m_receiveObserver(std::span<const std::uint8_t>(chunk, n));
            if (mnu_timestamps->isChecked())
                m_receiveTimes.emplace_back(m_receive.size(), m_wall->epochMs());
            m_lastByte = chunk[n - 1];
            m_lastByteMs = m_port.clock().nowMs();
        }
        m_receive.insert(m_receive.end(), chunk, chunk + n);
        taken += n;
        if (n == 0)
            break;
    }
    if (m_portNotifier && (m_receive.size() >= kMaxPending || !m_port.isOpen() || logBehind()))
        m_portNotifier->setEnabled(false);
}

void Tfrm_Main::Timer1Timer()
{
    if (m_port.isOpen())
        drainPort();
    if (!m_receive.empty()) {
        Timer1->stop();
        showReceived();
        Timer1->start();
        if (m_portNotifier && m_port.isOpen())
            m_portNotifier->setEnabled(true);
        kickStatus();
    } else if (m_log && m_log->backlogged() && m_port.isOpen()) {
        // Reading waits for the log's disk; the tick looks again.
        pollLog();
        return;
    } else if (m_portNotifier || !m_port.isOpen()) {
        // Nothing came: the port's descriptor wakes the receive path when
        // something does. A port without one (Windows) keeps the tick.
        if (m_portNotifier && m_port.isOpen() && m_receiving)
            m_portNotifier->setEnabled(true);
        Timer1->stop();
    }
    if (m_connected && !m_port.isOpen())
        handleDisconnect();
    pollLog();
}

void Tfrm_Main::portReadable()
{
    drainPort();
    // The chunks are shown on Timer1's ticks while data flows.
    if (m_receiving && !Timer1->isActive())
        Timer1->start();
}

void Tfrm_Main::watchPort()
{
    delete m_portNotifier;
    m_portNotifier = nullptr;
    const int fd = m_port.nativeHandle();
    if (fd >= 0) {
        m_portNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        m_portNotifier->setEnabled(m_receiving);
        connect(m_portNotifier, &QSocketNotifier::activated, this, &Tfrm_Main::portReadable);
    }
    // One tick takes what is already there (and keeps ticking without a
    // descriptor to watch).
    if (m_receiving)
        Timer1->start();
}

void Tfrm_Main::setPolling(bool on)
{
    m_receiving = on;
    if (on) {
        Timer1->start();
    } else {
        Timer1->stop();
        // What arrived before the transfer belongs to the terminal.
        if (!m_receive.empty())
            showReceived();
    }
    if (m_portNotifier)
        m_portNotifier->setEnabled(on && m_port.isOpen());
    kickStatus();
}

std::uint8_t Tfrm_Main::recentStartRequest() const
{
    constexpr std::uint64_t kRecentMs = 3000;
    if (m_lastByte != merovan::kCrcRequest && m_lastByte != merovan::kNak)
        return 0;
    return m_port.clock().nowMs() - m_lastByteMs <= kRecentMs ? m_lastByte : 0;
}

void Tfrm_Main::handleDisconnect()
{
    delete m_portNotifier;
    m_portNotifier = nullptr;
    m_connected = false;
    stopLineState();
    if (mnu_reconnect->isChecked() && !m_lastPath.empty()) {
        // The button stays down and the controls locked: the connection is
        // still wanted, only the device is missing.
        m_waiting = true;
        const std::string note = "Disconnected: " + m_lastPath + ", waiting for it to return";
        Panel2->setText(fromBytes(note));
        if (m_log)
            m_log->note(note);
        tryReconnect();
        updateStatus();
        return;
    }
    setConnectedControls(false);
    Panel2->setText(QStringLiteral("Disconnected: ") + fromBytes(m_port.path()));
    updateStatus();
}

void Tfrm_Main::RichEdit1KeyPress(quint8& key)
{
    // Enter (and Ctrl+M, the same key on any terminal) sends the chosen
    // line end.
    constexpr std::uint8_t kEnter = 0x0D;
    const std::uint8_t byte = key;
    const std::span<const std::uint8_t> bytes = byte == kEnter ? enterKeyBytes() : std::span(&byte, 1);
    if (bytes.size() == 1)
        m_port.writeByte(bytes.front());
    else
        m_port.writeBlock(bytes);
    kickStatus();
    if (m_log) {
        m_log->sent(bytes);
        pollLog();
    }
    if (mnu_echo->isChecked())
        Show_text(RichEdit1, bytes);
    key = 0;
}

void Tfrm_Main::mnu_echoClick()
{
    // The check mark is the flag; each keystroke reads it.
    mnu_echo->setChecked(!mnu_echo->isChecked());
}

void Tfrm_Main::Clearscreen1Click()
{
    RichEdit1->clear();
    if (emulating())
        m_vt->reset();
}

void Tfrm_Main::Cut1Click()
{
    RichEdit1->cut();
}

void Tfrm_Main::Copy1Click()
{
    if (emulating() && vt_screen->hasSelection())
        vt_screen->copy();
    else
        RichEdit1->copy();
}

void Tfrm_Main::Paste1Click()
{
    // In emulation the clipboard goes to the device, as Ctrl+Shift+V does.
    if (emulating())
        vt_screen->paste();
    else
        RichEdit1->paste();
}

void Tfrm_Main::Font1Click()
{
    const QFont current = RichEdit1->font();
    // The dialog finds the face by its style name; without one it takes the
    // family's first face, which may be an oblique one.
    QFont offered = current;
    offered.setStyleName(faceStyleName(current));
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, offered, this);
    if (ok && !sameFace(chosen, current))
        RichEdit1->setFont(chosen);
    syncScreenLook();
    RichEdit1->setFocus();
}

void Tfrm_Main::Colour1Click()
{
    const QColor color = QColorDialog::getColor(m_lastChosenColour, this);
    if (color.isValid()) {
        m_lastChosenColour = color;
        RichEdit1->setBackgroundColor(color);
    }
    syncScreenLook();
    RichEdit1->setFocus();
}

// ---- Port and line controls ------------------------------------------------

void Tfrm_Main::mnu_refreshClick()
{
    fillPortList(false);
    // A port in use stays chosen: it is the one the line controls describe.
    const std::string inUse = m_connected || m_waiting ? m_lastPath : std::string();
    const int index = inUse.empty() ? -1 : cbo_port->findText(fromBytes(inUse));
    cbo_port->setCurrentIndex(index);
    if (index < 0)
        cbo_port->setEditText(QString());
}

void Tfrm_Main::spd_refreshClick()
{
    mnu_refreshClick();
}

void Tfrm_Main::mnu_connectClick()
{
    // The menu item and the button are one switch.
    spd_connect->setChecked(!spd_connect->isChecked());
    spd_connectClick();
}

namespace {
// The rate typed or chosen in the baud box; empty with the reason why
// the text cannot be one.
std::string baudRateFrom(const QString& typed, QString& problem)
{
    const QString text = typed.trimmed();
    bool ok = !text.isEmpty();
    for (const QChar c : text)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const qulonglong value = ok ? text.toULongLong(&ok) : 0;
    if (!ok || value > std::numeric_limits<std::uint32_t>::max()) {
        problem = text.isEmpty() ? QStringLiteral("no baud rate given")
                                 : QStringLiteral("the baud rate \"%1\" is not a number").arg(text);
        return {};
    }
    if (value == 0) {
        problem = QStringLiteral("a baud rate of 0 is not valid");
        return {};
    }
    return std::to_string(value);
}
} // namespace

bool Tfrm_Main::openConnection()
{
    // What the boxes show counts, typed or chosen: the drivers take any rate.
    QString problem;
    const std::string baud = baudRateFrom(cbo_baud->currentText(), problem);
    const std::string settings = merovan::lineSettingsText(baud, toBytes(cbo_data->currentText().trimmed()),
                                                           toBytes(cbo_stop->currentText().trimmed()));
    // A path typed into the box works as well as a listed one.
    const std::string path = toBytes(cbo_port->currentText().trimmed());
    delete m_portNotifier; // an open port is closed by the open below
    m_portNotifier = nullptr;
    if (path.empty() || baud.empty()) {
        m_port.closePort();
        m_connected = false;
        Panel2->setText(path.empty() ? QStringLiteral("No port selected")
                                     : QStringLiteral("Cannot open %1: %2").arg(fromBytes(path), problem));
        return false;
    }
    const int rc = m_port.openPort(path, settings);
    m_connected = m_port.isOpen();
    if (!m_connected) {
        Panel2->setText(fromBytes(merovan::openFailureText(path, rc, m_port.lastError())));
        // Line settings the device refused leave it held; let it go, so other
        // programs (and the next attempt) can have it.
        m_port.closePort();
        return false;
    }
    Panel2->clear();
    watchPort();
    if (mnu_cts->isChecked())
        m_port.setCtsFlow(true);
    if (mnu_rts->isChecked())
        m_port.setRts(true);
    m_readBase = m_port.bytesRead();
    m_writtenBase = m_port.bytesWritten();
    rememberConnection(path, settings);
    showPortNotices();
    startLineState();
    updateStatus();
    return true;
}

void Tfrm_Main::setLineControlsEnabled(bool enabled)
{
    for (QWidget* w : std::initializer_list<QWidget*> { spd_refresh, cbo_port, cbo_baud, cbo_stop, cbo_data })
        w->setEnabled(enabled);
}

void Tfrm_Main::setConnectedControls(bool down)
{
    spd_connect->setChecked(down);
    mnu_connect->setChecked(down);
    setLineControlsEnabled(!down);
}

void Tfrm_Main::spd_connectClick()
{
    if (spd_connect->isChecked()) {
        setConnectedControls(true);
        if (openConnection()) {
            RichEdit1->setFocus();
        } else {
            // The reason is in the bottom panel; the button does not pretend.
            setConnectedControls(false);
        }
    } else {
        delete m_portNotifier;
        m_portNotifier = nullptr;
        m_waiting = false;
        stopLineState();
        m_port.closePort();
        m_connected = false;
        setConnectedControls(false);
        Panel2->clear();
    }
    updateStatus();
}

void Tfrm_Main::mnu_ctsClick()
{
    const bool on = !mnu_cts->isChecked();
    mnu_cts->setChecked(on);
    m_port.setCtsFlow(on);
    if (m_ctsWarning)
        m_ctsWarning(on);
}

void Tfrm_Main::mnu_rtsClick()
{
    mnu_rts->setChecked(!mnu_rts->isChecked());
    m_port.setRts(mnu_rts->isChecked());
}

void Tfrm_Main::spd_resetClick()
{
    m_port.setCtsFlow(false);
    m_port.setDtr(true);
    merovan::delayMs(m_port.clock(), kResetPulseMs);
    m_port.setDtr(false);
    if (mnu_cts->isChecked())
        m_port.setCtsFlow(true);
}

void Tfrm_Main::spd_closeClick()
{
    Shut_down();
    close();
}

Tfrm_Main::DialogSlot& Tfrm_Main::slot(Dialog which)
{
    switch (which) {
    case Dialog::Text:
        return m_text;
    case Dialog::Binary:
        return m_binary;
    case Dialog::Script:
        return m_script;
    case Dialog::Boot:
        break;
    }
    return m_boot;
}

void Tfrm_Main::setDialog(Dialog which, QWidget* dialog, SettingsSection* section)
{
    DialogSlot& s = slot(which);
    s.dialog = dialog;
    s.button->setEnabled(dialog != nullptr);
    if (section)
        m_sections.push_back(section);
}

void Tfrm_Main::addSettingsSection(SettingsSection* section)
{
    m_sections.push_back(section);
}

void Tfrm_Main::insertMenu(QMenu* menu)
{
    menuBar()->insertMenu(m_helpMenu->menuAction(), menu);
}

bool Tfrm_Main::dialogFlag(Dialog which) const
{
    return const_cast<Tfrm_Main*>(this)->slot(which).shown;
}

void Tfrm_Main::toggleDialog(Dialog which)
{
    DialogSlot& s = slot(which);
    if (s.shown) {
        if (s.dialog)
            s.dialog->close();
        s.shown = false;
    } else {
        if (s.dialog) {
            dialog_parts::placeBeforeFirstShow(*s.dialog, *this);
            s.dialog->show();
            s.dialog->raise();
            s.dialog->activateWindow();
        }
        s.shown = true;
    }
}

void Tfrm_Main::spd_settingsClick()
{
    toggleDialog(Dialog::Text);
}

void Tfrm_Main::spd_binaryClick()
{
    toggleDialog(Dialog::Binary);
}

void Tfrm_Main::spd_scriptClick()
{
    toggleDialog(Dialog::Script);
}

void Tfrm_Main::spb_bootClick()
{
    toggleDialog(Dialog::Boot);
}

void Tfrm_Main::About1Click()
{
    AboutBox->exec();
}
