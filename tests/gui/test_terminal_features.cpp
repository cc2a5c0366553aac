// SPDX-License-Identifier: GPL-3.0-or-later
// The window's everyday tools against merovan-devsim and a fake sysfs:
// session log, timestamps, hex view, find and save, port identities,
// hot-plug, reconnecting, line state and break.

#include "app/find_bar.h"
#include "app/main_window.h"
#include "app/port_list.h"
#include "app/terminal_view.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/fake_sysfs.h"
#include "support/process.h"
#include "terminal/hex_dump.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::tempPath;

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kT0 = 1796749571123; // 2026-12-08 17:06:11.123 UTC

class FakeWall final : public merovan::WallClock
{
public:
    std::int64_t epochMs() const override { return now; }
    std::int64_t now = kT0;
};

class TerminalFeatures : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        m_dir = tempPath("gui-term");
        fs::create_directories(m_dir);
        m_ini = m_dir + "/Merovan.ini";
        ::unsetenv("MEROVAN_EXTRA_PORTS");
    }
    void TearDown() override
    {
        m_window.reset();
        ::unsetenv("MEROVAN_EXTRA_PORTS");
        ::unsetenv("MEROVAN_SYSFS_ROOT");
        ::unsetenv("MEROVAN_DEV_ROOT");
        fs::remove_all(m_dir);
    }

    Tfrm_Main& open()
    {
        m_window = std::make_unique<Tfrm_Main>(m_port, m_ini);
        m_window->setMessageHandler([this](const QString& m) { messages.push_back(m); });
        m_window->setWallClock(&wall);
        return *m_window;
    }

    void connectTo(Tfrm_Main& w, const std::string& path)
    {
        w.cbo_port->setEditText(QString::fromStdString(path));
        const int index = w.cbo_port->findText(QString::fromStdString(path));
        if (index >= 0)
            w.cbo_port->setCurrentIndex(index);
        w.spd_connect->click();
        ASSERT_TRUE(w.port().isOpen()) << w.Panel2->text().toStdString();
    }

    static bool viewContains(Tfrm_Main& w, const QString& text, int timeoutMs = 3000)
    {
        return QTest::qWaitFor([&] { return w.view()->text().contains(text); }, timeoutMs);
    }

    std::string path(const std::string& name) const { return m_dir + "/" + name; }

    FakeWall wall;
    merovan::SteadyClock m_clock;
    merovan::SerialPort m_port { m_clock };
    std::string m_dir;
    std::string m_ini;
    std::unique_ptr<Tfrm_Main> m_window;
    std::vector<QString> messages;
};

std::span<const std::uint8_t> b(std::string_view s)
{
    return { reinterpret_cast<const std::uint8_t*>(s.data()), s.size() };
}

} // namespace

TEST_F(TerminalFeatures, LogInBothFormsWithTimestampsAndWhatWasSent)
{
    Devsim sim({});
    Tfrm_Main& w = open();
    merovan::LogOptions options;
    options.form = merovan::LogForm::Raw;
    options.timestamps = true;
    options.includeSent = true;
    ASSERT_TRUE(w.startLog(path("raw.log"), options));
    EXPECT_TRUE(w.mnu_log->isChecked());
    EXPECT_TRUE(w.lbl_log->isVisibleTo(&w));
    EXPECT_EQ(w.lbl_log->text(), QString::fromStdString("Log: " + path("raw.log")));
    connectTo(w, sim.port());
    ASSERT_TRUE(viewContains(w, QStringLiteral("devsim ready")));
    wall.now += 1000;
    quint8 key = 'k';
    w.RichEdit1KeyPress(key);
    ASSERT_TRUE(viewContains(w, QStringLiteral("ready\nk")));
    w.stopLog();
    EXPECT_FALSE(w.mnu_log->isChecked());
    EXPECT_FALSE(w.lbl_log->isVisibleTo(&w));
    // Raw: exactly the bytes received, without stamps or sent lines.
    EXPECT_EQ(readFile(path("raw.log")), "devsim ready\r\nk");

    // The view form, appended to the same file: the echo of what is typed.
    options = {};
    ASSERT_TRUE(w.startLog(path("raw.log"), options));
    for (quint8 c : { quint8(1), quint8('z'), quint8('\r') })
        w.RichEdit1KeyPress(c);
    ASSERT_TRUE(viewContains(w, QStringLiteral("k[01]z\n")));
    QTest::qWait(50);
    w.stopLog();
    const std::string log = readFile(path("raw.log"));
    EXPECT_EQ(log.substr(log.size() - 6), "[01]z\n") << log;
    EXPECT_TRUE(messages.empty());

    EXPECT_FALSE(w.startLog(m_dir + "/no/such/dir.log", options));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].contains(QStringLiteral("no/such/dir.log")));
}

TEST_F(TerminalFeatures, AFullDiskStopsTheLogWithOneMessageAndTheTerminalGoesOn)
{
    Devsim sim({ "--stream", "100000" });
    Tfrm_Main& w = open();
    ASSERT_TRUE(w.startLog("/dev/full", {}));
    connectTo(w, sim.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.empty(); }, 3000));
    EXPECT_FALSE(w.logging());
    EXPECT_FALSE(w.mnu_log->isChecked());
    EXPECT_TRUE(messages[0].contains(QString::fromLatin1(std::strerror(ENOSPC)))) << messages[0].toStdString();
    const int lines = w.view()->lineCount();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.view()->lineCount() > lines + 100; }, 3000))
        << "the stream still shows";
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_TRUE(w.port().isOpen());
}

TEST_F(TerminalFeatures, HexViewDumpsRowsAndFillsASplitRowInPlace)
{
    Tfrm_Main& w = open();
    w.Show_text(w.view(), b("text first"));
    w.mnu_hex->trigger();
    ASSERT_TRUE(w.mnu_hex->isChecked());
    const std::string data = std::string("Hello\r\n\0\xff", 9) + "ABCDEFGHIJKLMNOPQRSTU";
    w.Show_text(w.view(), b(data.substr(0, 5)));
    w.Show_text(w.view(), b(data.substr(5, 15)));
    w.Show_text(w.view(), b(data.substr(20)));
    merovan::HexDumper d;
    std::string rows;
    d.feed(b(data), rows);
    rows += d.partialRow();
    EXPECT_EQ(w.view()->text().toStdString(), "text first\n" + rows);
    EXPECT_EQ(w.view()->lineCount(), 3);

    // Off again: text as before, on a line after the unfinished row.
    w.mnu_hex->trigger();
    w.Show_text(w.view(), b("\nback"));
    EXPECT_EQ(w.view()->line(w.view()->lineCount() - 1), QStringLiteral("back"));
}

TEST_F(TerminalFeatures, TimestampsStampEachReceivedLineWhenItBegins)
{
    Tfrm_Main& w = open();
    w.mnu_timestamps->trigger();
    w.Show_text(w.view(), b("one\r\ntw"));
    wall.now += 1000;
    w.Show_text(w.view(), b("o\r\nthree"));
    EXPECT_EQ(w.view()->text(), QStringLiteral("2026-12-08 17:06:11.123 one\n"
                                               "2026-12-08 17:06:11.123 two\n"
                                               "2026-12-08 17:06:12.123 three"));
    w.mnu_timestamps->trigger();
    w.Show_text(w.view(), b("\nplain"));
    EXPECT_EQ(w.view()->line(3), QStringLiteral("plain"));

    // With the hex view, each row carries the time of its first byte.
    w.mnu_timestamps->trigger();
    w.mnu_hex->trigger();
    w.Show_text(w.view(), b("0123456789abcdef"));
    EXPECT_TRUE(w.view()->line(w.view()->lineCount() - 2).startsWith(QStringLiteral("2026-12-08 17:06:12.123 00000000  30 31")));
}

TEST_F(TerminalFeatures, FindNextPreviousAndMatchCase)
{
    Tfrm_Main& w = open();
    w.Show_text(w.view(), b("alpha Beta\ngamma beta\ndelta BETA\n"));
    w.mnu_find->trigger();
    FindBar* bar = w.findBar();
    ASSERT_TRUE(bar->isVisibleTo(&w));
    bar->edt_find->setText(QStringLiteral("beta"));
    w.view()->setCaret({ 0, 0 });
    struct Step
    {
        bool backward;
        bool matchCase;
        TerminalView::Pos at;
    };
    const Step steps[] = {
        { false, false, { 0, 6 } }, { false, false, { 1, 6 } }, { false, false, { 2, 6 } },
        { false, false, { 0, 6 } }, // wraps around
        { true, false, { 2, 6 } },  { false, true, { 1, 6 } },  { false, true, { 1, 6 } }, // only one "beta"
    };
    for (const Step& s : steps) {
        bar->chk_matchCase->setChecked(s.matchCase);
        ASSERT_TRUE(s.backward ? bar->findPrevious() : bar->findNext());
        EXPECT_EQ(std::min(w.view()->caret(), TerminalView::Pos { w.view()->caret().line, w.view()->caret().col - 4 }),
                  s.at);
        EXPECT_EQ(w.view()->selectedText().toLower(), QStringLiteral("beta"));
    }
    bar->edt_find->setText(QStringLiteral("omega"));
    EXPECT_FALSE(bar->findNext());
    EXPECT_EQ(bar->lbl_findStatus->text(), QStringLiteral("Not found"));
    EXPECT_EQ(w.view()->selectedText(), QStringLiteral("beta")) << "a failed search leaves the selection";
    QTest::keyClick(bar, Qt::Key_Escape);
    EXPECT_FALSE(bar->isVisibleTo(&w));
    EXPECT_EQ(w.mnu_find->shortcut(), QKeySequence(QKeySequence::Find));
}

TEST_F(TerminalFeatures, SaveViewWritesTheViewsText)
{
    Tfrm_Main& w = open();
    w.Show_text(w.view(), b("line one\r\n\x02 two\xe9"));
    ASSERT_TRUE(w.saveViewTo(path("view.txt")));
    EXPECT_EQ(readFile(path("view.txt")), "line one\n[02] two[e9]");
    EXPECT_FALSE(w.saveViewTo(m_dir + "/missing/view.txt"));
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(TerminalFeatures, PortListShowsIdentitiesAndStartUpFindsARenumberedDevice)
{
    merovan::test::FakeSysfs tree(m_dir + "/fake");
    ::setenv("MEROVAN_SYSFS_ROOT", tree.sys().c_str(), 1);
    ::setenv("MEROVAN_DEV_ROOT", tree.dev().c_str(), 1);
    {
        Tfrm_Main& w = open();
        ASSERT_EQ(w.cbo_port->count(), 5);
        EXPECT_EQ(w.cbo_port->itemText(2), QString::fromStdString(tree.dev() + "/ttyUSB0"));
        EXPECT_TRUE(w.cbo_port->itemData(2, kPortDescriptionRole)
                        .toString()
                        .startsWith(QStringLiteral("FTDI FT232R USB UART (0403:6001) serial A10KZP3Q")));
        EXPECT_EQ(w.cbo_port->itemData(1, kPortDescriptionRole).toString(), QStringLiteral("serial8250"));
        w.cbo_port->setCurrentIndex(2);
        w.close();
    }
    const std::string ini = readFile(m_ini);
    EXPECT_NE(ini.find("Identity=usb:0403:6001:A10KZP3Q:00"), std::string::npos) << ini;

    // Renumbered: the FTDI cable is ttyUSB3 now, and ttyUSB0 is another device.
    fs::rename(tree.dev() + "/ttyUSB0", tree.dev() + "/ttyUSB3");
    fs::rename(tree.sys() + "/class/tty/ttyUSB0", tree.sys() + "/class/tty/ttyUSB3");
    fs::rename(tree.dev() + "/ttyUSB1", tree.dev() + "/ttyUSB0");
    fs::rename(tree.sys() + "/class/tty/ttyUSB1", tree.sys() + "/class/tty/ttyUSB0");
    for (const auto& e : fs::directory_iterator(tree.dev() + "/serial/by-id"))
        fs::remove(e.path());
    m_window.reset();
    Tfrm_Main& w = open();
    EXPECT_EQ(w.cbo_port->currentText(), QString::fromStdString(tree.dev() + "/ttyUSB3"));

    // Gone altogether: nothing is selected rather than whatever took its place.
    m_window.reset();
    tree.unplug("ttyUSB3");
    Tfrm_Main& again = open();
    EXPECT_EQ(again.cbo_port->currentIndex(), -1);
}

TEST_F(TerminalFeatures, HotPlugUpdatesThePortListByItself)
{
    const std::string link = path("ttyHOT");
    ::setenv("MEROVAN_EXTRA_PORTS", link.c_str(), 1);
    Tfrm_Main& w = open();
    const QString name = QString::fromStdString(link);
    EXPECT_EQ(w.cbo_port->findText(name), -1);
    auto sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link });
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.cbo_port->findText(name) >= 0; }, 3000));
    sim.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.cbo_port->findText(name) < 0; }, 3000));
}

TEST_F(TerminalFeatures, ReconnectsToTheReturningDeviceKeepingViewLogAndEveryByte)
{
    const std::string link = path("ttyBOARD");
    ::setenv("MEROVAN_EXTRA_PORTS", link.c_str(), 1);
    auto sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link, "--stream", "50000" });
    Tfrm_Main& w = open();
    merovan::LogOptions options;
    options.form = merovan::LogForm::Raw;
    ASSERT_TRUE(w.startLog(path("session.log"), options));
    w.cbo_baud->setCurrentIndex(9); // 115200
    connectTo(w, link);
    ASSERT_TRUE(viewContains(w, QStringLiteral("00000100 the quick")));

    sim.reset();
    const QString waiting = QString::fromStdString("Disconnected: " + link + ", waiting for it to return");
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Panel2->text() == waiting; }, 3000)) << w.Panel2->text().toStdString();
    EXPECT_TRUE(w.waitingForReconnect());
    EXPECT_TRUE(w.spd_connect->isChecked()) << "the connection is still wanted";
    EXPECT_FALSE(w.cbo_port->isEnabled());

    sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link, "--stream", "50000", "--sent",
                                                              path("sent2") });
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Panel2->text() == QStringLiteral("Reconnected"); }, 5000))
        << w.Panel2->text().toStdString();
    EXPECT_FALSE(w.waitingForReconnect());
    EXPECT_EQ(w.port().baudRate(), 115200u) << "the same line settings";
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.view()->text().count(QStringLiteral("devsim ready")) == 2; }, 3000));
    EXPECT_TRUE(w.view()->text().contains(QStringLiteral("00000100 the quick"))) << "the view is kept";
    QTest::qWait(1000);
    sim.reset();
    QTest::qWait(100);
    w.stopLog();

    // A raw log holds the device's bytes only: no notes. What the device
    // sent after it came back is there whole, up to its going again.
    const std::string log = readFile(path("session.log"));
    EXPECT_EQ(log.find("[Reconnected]"), std::string::npos);
    EXPECT_EQ(log.find("[Disconnected"), std::string::npos);
    const auto at = log.rfind("devsim ready");
    ASSERT_NE(at, std::string::npos);
    ASSERT_NE(log.find("devsim ready"), at) << "both sessions are in the log";
    const std::string after = log.substr(at);
    const std::string sent = readFile(path("sent2"));
    ASSERT_GT(after.size(), 20000u);
    ASSERT_LE(after.size(), sent.size());
    EXPECT_TRUE(after.compare(0, after.size(), sent, 0, after.size()) == 0) << "the log differs from what the device sent";
    EXPECT_GE(after.size() + 5000, sent.size()) << "at most what was in flight when it went";
}

TEST_F(TerminalFeatures, ClickingTheButtonUpStopsWaiting)
{
    const std::string link = path("ttyGONE");
    auto sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link });
    Tfrm_Main& w = open();
    connectTo(w, link);
    sim.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.waitingForReconnect(); }, 3000));
    w.spd_connect->click();
    EXPECT_FALSE(w.waitingForReconnect());
    EXPECT_TRUE(w.cbo_port->isEnabled());
    sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link });
    QTest::qWait(600);
    EXPECT_FALSE(w.port().isOpen()) << "nothing reopens once the user let go";
}

TEST_F(TerminalFeatures, APtyShowsNoLineStateAndTakesABreak)
{
    Devsim sim({});
    Tfrm_Main& w = open();
    connectTo(w, sim.port());
    EXPECT_EQ(w.lineStateText(), QString());
    EXPECT_FALSE(w.lbl_lines->isVisibleTo(&w));
    w.mnu_break->trigger();
    EXPECT_EQ(w.Panel2->text(), QStringLiteral("Break sent"));
    EXPECT_TRUE(w.mnu_reconnect->isChecked()) << "on by default";
}
