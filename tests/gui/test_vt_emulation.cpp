// SPDX-License-Identifier: GPL-3.0-or-later
// The window's terminal emulation against merovan-devsim: keys as an xterm
// sends them, Tab and pastes to the device, the cursor position and
// attribute queries answered, scrollback in the view, and switching views.

#include "app/main_window.h"
#include "app/terminal_view.h"
#include "app/vt_view.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/process.h"
#include "terminal/vt_screen.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::tempPath;

namespace fs = std::filesystem;

namespace {

class VtEmulation : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = tempPath("gui-vt");
        fs::create_directories(m_dir);
        m_ini = m_dir + "/Merovan.ini";
    }
    void TearDown() override
    {
        m_window.reset();
        fs::remove_all(m_dir);
    }

    Tfrm_Main& open()
    {
        m_window = std::make_unique<Tfrm_Main>(m_port, m_ini);
        m_window->setMessageHandler([](const QString&) {});
        m_window->resize(800, 600);
        m_window->show();
        return *m_window;
    }

    void connectTo(Tfrm_Main& w, const std::string& path)
    {
        w.cbo_port->setEditText(QString::fromStdString(path));
        w.spd_connect->click();
        ASSERT_TRUE(w.port().isOpen()) << w.Panel2->text().toStdString();
    }

    std::string file(const std::string& name, const std::string& bytes = {}) const
    {
        const std::string p = m_dir + "/" + name;
        if (!bytes.empty())
            std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

    // Waits for the device's record to hold at least size bytes.
    static std::string recorded(const std::string& path, std::size_t size)
    {
        (void)QTest::qWaitFor([&] { return readFile(path).size() >= size; }, 5000);
        return readFile(path);
    }

    static VtView* screenOf(Tfrm_Main& w) { return w.findChild<VtView*>(QStringLiteral("vt_screen")); }

    merovan::SteadyClock m_clock;
    merovan::SerialPort m_port { m_clock };
    std::string m_dir;
    std::string m_ini;
    std::unique_ptr<Tfrm_Main> m_window;
};

} // namespace

TEST_F(VtEmulation, KeysReachTheDeviceAsAnXtermSendsThem)
{
    const std::string record = file("keys.bin");
    Devsim sim({ "--no-echo", "--no-greeting", "--record", record });
    Tfrm_Main& w = open();
    ASSERT_FALSE(w.emulating()) << "the raw view is the default";
    w.mnu_emulation->trigger();
    ASSERT_TRUE(w.emulating());
    connectTo(w, sim.port());
    VtView* screen = screenOf(w);
    ASSERT_NE(screen, nullptr);
    ASSERT_TRUE(screen->isVisible());

    struct Key
    {
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        std::string bytes;
    };
    const Key table[] = {
        { Qt::Key_Up, Qt::NoModifier, "\x1b[A" },
        { Qt::Key_Down, Qt::NoModifier, "\x1b[B" },
        { Qt::Key_Right, Qt::NoModifier, "\x1b[C" },
        { Qt::Key_Left, Qt::NoModifier, "\x1b[D" },
        { Qt::Key_Home, Qt::NoModifier, "\x1b[H" },
        { Qt::Key_End, Qt::NoModifier, "\x1b[F" },
        { Qt::Key_PageUp, Qt::NoModifier, "\x1b[5~" },
        { Qt::Key_PageDown, Qt::NoModifier, "\x1b[6~" },
        { Qt::Key_Insert, Qt::NoModifier, "\x1b[2~" },
        { Qt::Key_Delete, Qt::NoModifier, "\x1b[3~" },
        { Qt::Key_F1, Qt::NoModifier, "\x1bOP" },
        { Qt::Key_F5, Qt::NoModifier, "\x1b[15~" },
        { Qt::Key_F12, Qt::NoModifier, "\x1b[24~" },
        { Qt::Key_Tab, Qt::NoModifier, "\t" },
        { Qt::Key_Backspace, Qt::NoModifier, "\x7f" },
        { Qt::Key_C, Qt::ControlModifier, "\x03" },
        { Qt::Key_A, Qt::ControlModifier, "\x01" },
        { Qt::Key_X, Qt::AltModifier, "\x1bx" },
        { Qt::Key_A, Qt::NoModifier, "a" },
        { Qt::Key_Return, Qt::NoModifier, "\r" },
        { Qt::Key_Escape, Qt::NoModifier, "\x1b" },
    };
    std::string expected;
    for (const Key& k : table) {
        QTest::keyClick(screen, k.key, k.mods);
        expected += k.bytes;
    }
    EXPECT_TRUE(screen->hasFocus() || !QApplication::focusWidget()) << "Tab did not move the focus away";
    // Backspace as 08, the other setting.
    w.mnu_backspaceDel->trigger();
    QTest::keyClick(screen, Qt::Key_Backspace);
    expected += "\b";
    EXPECT_EQ(recorded(record, expected.size()), expected);
}

TEST_F(VtEmulation, QueriesAreAnsweredAndPastesSent)
{
    const std::string record = file("answers.bin");
    // A linenoise-style probe, then a shell that wants bracketed pastes.
    const std::string play = file("play.raw", "prompt> \x1b[6n\x1b[c\x1b[?2004h");
    Devsim sim({ "--no-echo", "--no-greeting", "--record", record, "--play", play });
    Tfrm_Main& w = open();
    w.setEmulation(true);
    connectTo(w, sim.port());
    const std::string answers = "\x1b[1;9R\x1b[?1;2c";
    EXPECT_EQ(recorded(record, answers.size()), answers);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.screen().bracketedPaste(); }, 3000));

    QApplication::clipboard()->setText(QStringLiteral("ls -l\nexit"));
    QTest::keyClick(screenOf(w), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    std::string expected = answers + "\x1b[200~ls -l\rexit\x1b[201~";
    EXPECT_EQ(recorded(record, expected.size()), expected);
    // Edit > Paste sends too.
    QApplication::clipboard()->setText(QStringLiteral("pwd"));
    w.Paste1->trigger();
    expected += "\x1b[200~pwd\x1b[201~";
    EXPECT_EQ(recorded(record, expected.size()), expected);
    EXPECT_TRUE(w.screenText().startsWith(QStringLiteral("prompt>")));
}

TEST_F(VtEmulation, ScrolledLinesGoToTheViewAndSwitchingKeepsTheText)
{
    Devsim sim({});
    Tfrm_Main& w = open();
    connectTo(w, sim.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.view()->text().contains(QStringLiteral("devsim ready")); }, 3000));

    w.setEmulation(true);
    EXPECT_TRUE(w.view()->text().contains(QStringLiteral("devsim ready"))) << "the raw text stays as history";
    VtView* screen = screenOf(w);
    // Typed keys come back by echo onto the screen.
    QTest::keyClicks(screen, QStringLiteral("abc"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.screenText().contains(QStringLiteral("abc")); }, 3000));

    // Enough coloured lines to scroll: the ones off the top land in the view.
    const int rows = w.screen().rows();
    std::string lines = "\r\n";
    for (int i = 1; i <= rows + 10; ++i)
        lines += "\x1b[32mline " + std::to_string(i) + "\x1b[0m\r\n";
    w.Show_text(w.view(), std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(lines.data()), lines.size()));
    const QString history = w.view()->text();
    EXPECT_TRUE(history.contains(QStringLiteral("abc\nline 1\nline 2\n"))) << history.toStdString();
    EXPECT_FALSE(history.contains(QStringLiteral("\x1b"))) << "no escapes in the view";
    EXPECT_TRUE(w.view()->find(QStringLiteral("line 5"), false, Qt::CaseSensitive)) << "find works on the scrollback";
    EXPECT_TRUE(w.screenText().contains(QStringLiteral("line %1").arg(rows + 10)));

    // Save view as: the scrollback, then the screen.
    const std::string saved = file("view.txt");
    ASSERT_TRUE(w.saveViewTo(saved));
    const std::string text = readFile(saved);
    EXPECT_NE(text.find("devsim ready"), std::string::npos);
    EXPECT_NE(text.find("line " + std::to_string(rows + 10)), std::string::npos);

    // Back to raw: what the screen showed stays, as text.
    w.setEmulation(false);
    EXPECT_FALSE(screen->isVisible());
    EXPECT_TRUE(w.view()->text().contains(QStringLiteral("line %1").arg(rows + 10)));
    EXPECT_TRUE(w.view()->text().contains(QStringLiteral("devsim ready")));
    const std::string raw = "\x1b[1m";
    w.Show_text(w.view(), std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()));
    EXPECT_TRUE(w.view()->text().endsWith(QStringLiteral("[1b][1m"))) << "the raw view is as it always was";
}

TEST_F(VtEmulation, TheScreenFollowsTheWindowAndTheSettingIsKept)
{
    const std::string record = file("resize.bin");
    Devsim sim({ "--no-echo", "--no-greeting", "--record", record });
    {
        Tfrm_Main& w = open();
        w.setEmulation(true);
        connectTo(w, sim.port());
        VtView* screen = screenOf(w);
        QApplication::processEvents();
        EXPECT_EQ(w.screen().rows(), screen->fittingRows());
        EXPECT_EQ(w.screen().cols(), screen->fittingColumns());
        const int rowsBefore = w.screen().rows();
        w.resize(900, 800);
        QApplication::processEvents();
        EXPECT_GT(w.screen().rows(), rowsBefore);
        EXPECT_EQ(w.screen().cols(), screen->fittingColumns());
        QTest::qWait(200);
        EXPECT_EQ(readFile(record), "") << "the device is told nothing";

        // The ANSI colours stand out from the default green background.
        for (int i = 0; i < 16; ++i) {
            const QColor c = screen->drawnColor(i);
            auto lum = [](const QColor& x) {
                auto ch = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
                return 0.2126 * ch(x.redF()) + 0.7152 * ch(x.greenF()) + 0.0722 * ch(x.blueF());
            };
            const double a = lum(c), b = lum(screen->backgroundColor());
            EXPECT_GE((std::max(a, b) + 0.05) / (std::min(a, b) + 0.05), 3.0) << "colour " << i;
        }
        w.mnu_backspaceDel->setChecked(false);
        w.Shut_down();
    }
    m_window.reset();
    Tfrm_Main& again = open();
    EXPECT_TRUE(again.emulating()) << "kept in the settings file";
    EXPECT_FALSE(again.mnu_backspaceDel->isChecked());
    EXPECT_EQ(again.screen().backspaceByte(), 0x08);
}

TEST_F(VtEmulation, TheScreenReadsAndTypesInTheChosenCharacters)
{
    const std::string record = file("typed.bin");
    Devsim sim({ "--no-echo", "--no-greeting", "--record", record });
    Tfrm_Main& w = open();
    w.setEmulation(true);
    connectTo(w, sim.port());
    VtView* screen = screenOf(w);
    auto show = [&](const std::string& bytes) {
        w.Show_text(w.view(), std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    };
    auto type = [&](const QString& text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text);
        QApplication::sendEvent(screen, &press);
    };
    // Switched while the screen runs, both ways.
    w.mnu_utf8->trigger();
    EXPECT_TRUE(w.screen().utf8());
    show("caf\xc3\xa9 ");
    type(QStringLiteral("\u00e9"));
    w.mnu_latin1->trigger();
    EXPECT_FALSE(w.screen().utf8());
    show("th\xe9");
    type(QStringLiteral("\u00e9"));
    EXPECT_EQ(w.screenText(), QStringLiteral("caf\u00e9 th\u00e9\n"));
    EXPECT_EQ(recorded(record, 3), "\xc3\xa9\xe9") << "typed: UTF-8, then one byte";
}

// The text log in emulation holds the screen's lines as they leave it, with
// the escape sequences gone and what was overwritten on a line left out; the
// raw log holds the bytes as they came.
TEST_F(VtEmulation, TheTextLogHoldsTheScreensLinesAndTheRawLogTheBytes)
{
    std::string play;
    std::string text;
    for (int i = 1; i <= 60; ++i) {
        play += "\x1b[0;3" + std::to_string(1 + i % 3) + "mI (" + std::to_string(i * 10) + ") boot: line " + std::to_string(i)
            + "\x1b[0m\r\n";
        text += "I (" + std::to_string(i * 10) + ") boot: line " + std::to_string(i) + "\n";
    }
    play += "progress 10%\rprogress 99%\r\n";
    text += "progress 99%\n";
    const std::string playFile = file("play.raw", play);
    for (const merovan::LogForm form : { merovan::LogForm::View, merovan::LogForm::Raw }) {
        const bool raw = form == merovan::LogForm::Raw;
        SCOPED_TRACE(raw ? "raw log" : "text log");
        Devsim sim({ "--no-echo", "--no-greeting", "--play", playFile });
        Tfrm_Main& w = open();
        w.setEmulation(true);
        const std::string log = file(raw ? "raw.log" : "text.log");
        merovan::LogOptions options;
        options.form = form;
        options.overwrite = true;
        ASSERT_TRUE(w.startLog(log, options));
        connectTo(w, sim.port());
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.screenText().contains(QStringLiteral("progress 99%")); }, 5000));
        w.stopLog();
        EXPECT_EQ(readFile(log), raw ? play : text);
        m_window.reset();
    }
}
