// SPDX-License-Identifier: GPL-3.0-or-later
// The window's terminal emulation: View > "Terminal emulation (ANSI)"
// switches from the raw view to an emulated screen. Lines that scroll off
// that screen go, as text, into the raw view's bounded store above it, where
// find, copy, "Save view as...", timestamps and the hex view work on them as
// on any received text.

#include "app/main_window.h"
#include "app/terminal_view.h"
#include "app/vt_view.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"
#include "terminal/vt_screen.h"
#include "terminal/vt_text.h"

#include <QAction>
#include <QBoxLayout>
#include <QMenu>
#include <QSplitter>

namespace {

// The history gets this share of the height when emulation starts.
constexpr int kHistoryShare = 4;

} // namespace

void Tfrm_Main::buildEmulation(QBoxLayout* layout)
{
    m_vt = std::make_unique<merovan::VtScreen>(24, 80);
    m_vt->setOutputHandler([this](std::string_view bytes) {
        // The screen's own answers (cursor position, attributes).
        sendToDevice(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                     false);
    });
    m_vt->setScrollbackTextHandler([this](std::string_view lines) { m_vtScrolled += lines; });
    // The screen reads and types characters as Serial > Characters says.
    m_vt->setUtf8(m_charset == merovan::Charset::Utf8);
    connect(this, &Tfrm_Main::charsetChanged, this, [this] { m_vt->setUtf8(m_charset == merovan::Charset::Utf8); });

    m_viewSplit = new QSplitter(Qt::Vertical, this);
    m_viewSplit->setObjectName(QStringLiteral("spl_view"));
    m_viewSplit->setChildrenCollapsible(true);
    m_viewSplit->addWidget(RichEdit1);
    vt_screen = new VtView(*m_vt, m_viewSplit);
    vt_screen->setObjectName(QStringLiteral("vt_screen"));
    m_viewSplit->addWidget(vt_screen);
    m_viewSplit->setStretchFactor(0, 1);
    m_viewSplit->setStretchFactor(1, kHistoryShare - 1);
    vt_screen->hide();
    layout->addWidget(m_viewSplit, 1);
    connect(vt_screen, &VtView::bytesTyped, this, [this](const QByteArray& bytes) {
        sendToDevice(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                                   static_cast<std::size_t>(bytes.size())),
                     true);
    });
}

void Tfrm_Main::buildEmulationMenu(QMenu* view)
{
    mnu_emulation = new QAction(QStringLiteral("Terminal &emulation (ANSI)"), this);
    mnu_emulation->setObjectName(QStringLiteral("mnu_emulation"));
    mnu_emulation->setCheckable(true);
    mnu_emulation->setStatusTip(QStringLiteral("Show the device's output as a VT100/xterm screen, or raw"));
    mnu_backspaceDel = new QAction(QStringLiteral("&Backspace sends DEL (7F)"), this);
    mnu_backspaceDel->setObjectName(QStringLiteral("mnu_backspaceDel"));
    mnu_backspaceDel->setCheckable(true);
    mnu_backspaceDel->setChecked(true);
    mnu_backspaceDel->setStatusTip(QStringLiteral("In terminal emulation, Backspace sends 7F; else 08"));
    view->addSeparator();
    view->addAction(mnu_emulation);
    view->addAction(mnu_backspaceDel);
    connect(mnu_emulation, &QAction::toggled, this, &Tfrm_Main::setEmulation);
    connect(mnu_backspaceDel, &QAction::toggled, this,
            [this](bool del) { m_vt->setBackspaceByte(del ? 0x7F : 0x08); });
}

bool Tfrm_Main::emulating() const
{
    return mnu_emulation && mnu_emulation->isChecked();
}

void Tfrm_Main::syncScreenLook()
{
    if (!vt_screen)
        return;
    vt_screen->setFont(RichEdit1->font());
    vt_screen->setTextColor(RichEdit1->textColor());
    vt_screen->setBackgroundColor(RichEdit1->backgroundColor());
}

void Tfrm_Main::setEmulation(bool on)
{
    if (mnu_emulation->isChecked() != on) {
        mnu_emulation->setChecked(on); // runs this again through the toggle
        return;
    }
    if (on == m_vtShown)
        return;
    syncScreenLook();
    m_formatter.reset();
    m_viewStamper.reset();
    if (on) {
        // The raw text stays above as history; the screen starts clean.
        if (RichEdit1->lineCount() > 0 && !RichEdit1->line(RichEdit1->lineCount() - 1).isEmpty())
            RichEdit1->showText(QStringLiteral("\n"));
        m_vt->reset();
        m_vtScrolled.clear();
        vt_screen->show();
        const int total = std::max(2, m_viewSplit->height());
        m_viewSplit->setSizes({ total / kHistoryShare, total - total / kHistoryShare });
        RichEdit1->scrollToEnd();
        if (m_log)
            m_log->setScreenText(true);
        // Only a switch by the user moves the focus; at start-up it stays
        // where the window puts it.
        if (isVisible())
            vt_screen->setFocus();
        m_vtShown = true;
    } else {
        // What the screen showed is kept, as text, at the end of the view
        // and of the log.
        const std::string rows = screenRowsText();
        if (m_log) {
            m_log->shown(rows);
            m_log->setScreenText(false);
        }
        if (!rows.empty())
            RichEdit1->showText(QString::fromUtf8(rows.data(), static_cast<qsizetype>(rows.size())));
        vt_screen->hide();
        if (isVisible())
            RichEdit1->setFocus();
        m_vtShown = false;
    }
}

bool Tfrm_Main::feedEmulation(TerminalView* view, std::span<const std::uint8_t> bytes, std::int64_t atMs)
{
    // The incoming line-end map applies here as in the raw view.
    m_vt->feed(mapIncoming(bytes));
    vt_screen->screenChanged();
    if (m_log && !m_vtScrolled.empty())
        m_log->shown(m_vtScrolled);
    // The hex view shows the bytes themselves instead.
    if (mnu_hex->isChecked()) {
        m_vtScrolled.clear();
        return false;
    }
    if (m_vtScrolled.empty())
        return true;
    std::string text;
    if (mnu_timestamps->isChecked())
        m_viewStamper.stamp(m_vtScrolled, atMs, text);
    else
        text.swap(m_vtScrolled);
    m_vtScrolled.clear();
    view->showText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    return true;
}

void Tfrm_Main::sendToDevice(std::span<const std::uint8_t> bytes, bool typed)
{
    m_port.writeBlock(bytes);
    if (m_log)
        m_log->sent(bytes);
    if (typed && mnu_echo->isChecked())
        Show_text(RichEdit1, bytes);
}

QString Tfrm_Main::screenText() const
{
    if (!emulating())
        return {};
    const std::string text = screenRowsText();
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Tfrm_Main::screenRowsText() const
{
    std::string text;
    int last = m_vt->rows() - 1;
    while (last >= 0 && m_vt->row(last).empty())
        --last;
    for (int r = 0; r <= last; ++r)
        text += merovan::vtLineText(m_vt->row(r)) + '\n';
    return text;
}

void Tfrm_Main::readEmulationSettings(const merovan::IniFile& ini)
{
    mnu_backspaceDel->setChecked(ini.readInteger("VIEW", "BackspaceDel", 1) != 0);
    m_vt->setBackspaceByte(mnu_backspaceDel->isChecked() ? 0x7F : 0x08);
    setEmulation(ini.readInteger("VIEW", "Emulation", 0) != 0);
}

void Tfrm_Main::writeEmulationSettings(merovan::IniFile& ini) const
{
    ini.writeInteger("VIEW", "Emulation", emulating() ? 1 : 0);
    ini.writeInteger("VIEW", "BackspaceDel", mnu_backspaceDel->isChecked() ? 1 : 0);
}
