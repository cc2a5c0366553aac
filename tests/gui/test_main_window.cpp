// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/about_box.h"
#include "app/main_window.h"
#include "app/terminal_view.h"
#include "serial/clock.h"
#include "serial/port_holder.h"
#include "serial/serial_port.h"
#include "support/process.h"

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QTimer>
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

class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_ini = tempPath("ini") + ".ini";
        ::unsetenv("MEROVAN_EXTRA_PORTS");
    }
    void TearDown() override
    {
        m_window.reset();
        ::unsetenv("MEROVAN_EXTRA_PORTS");
        fs::remove(m_ini);
    }

    Tfrm_Main& open()
    {
        m_window = std::make_unique<Tfrm_Main>(m_port, m_ini);
        m_window->setMessageHandler([this](const QString& m) { messages.push_back(m); });
        return *m_window;
    }

    void writeIni(const std::string& text) { std::ofstream(m_ini, std::ios::binary) << text; }
    std::string iniText() const { return readFile(m_ini); }

    // Selects path in the port list, or types it.
    void choosePort(Tfrm_Main& w, const std::string& path)
    {
        const int index = w.cbo_port->findText(QString::fromStdString(path));
        if (index >= 0)
            w.cbo_port->setCurrentIndex(index);
        else
            w.cbo_port->setEditText(QString::fromStdString(path));
    }

    static bool viewContains(Tfrm_Main& w, const QString& text, int timeoutMs = 3000)
    {
        return QTest::qWaitFor([&] { return w.view()->text().contains(text); }, timeoutMs);
    }

    merovan::SteadyClock m_clock;
    merovan::SerialPort m_port { m_clock };
    std::string m_ini;
    std::unique_ptr<Tfrm_Main> m_window;
    std::vector<QString> messages;
};

std::vector<std::uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<std::uint8_t> out;
    for (int b : list)
        out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

} // namespace

TEST_F(MainWindowTest, FirstRunShowsTheDefaults)
{
    Devsim sim({});
    ::setenv("MEROVAN_EXTRA_PORTS", sim.port().c_str(), 1);
    Tfrm_Main& w = open();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Merovan    Release 1.21"));
    EXPECT_EQ(w.cbo_baud->count(), 17);
    EXPECT_EQ(w.cbo_baud->currentText(), QStringLiteral("9600"));
    EXPECT_EQ(w.cbo_stop->currentText(), QStringLiteral("1"));
    EXPECT_EQ(w.cbo_data->currentText(), QStringLiteral("8"));
    ASSERT_GT(w.cbo_port->count(), 0);
    EXPECT_EQ(w.cbo_port->currentIndex(), 0) << "the first port of the list";
    // About 100 x 30 characters of the view's font, never beyond the
    // screen, centred on it.
    const QSize screen = QGuiApplication::primaryScreen()->size();
    const QSize available = QGuiApplication::primaryScreen()->availableSize();
    EXPECT_EQ(w.size(), w.firstStartSize().boundedTo(available));
    EXPECT_LE(w.width(), available.width());
    EXPECT_LE(w.height(), available.height());
    EXPECT_EQ(w.x(), screen.width() / 2 - w.width() / 2);
    EXPECT_EQ(w.y(), screen.height() / 2 - w.height() / 2);
    EXPECT_FALSE(w.mnu_echo->isChecked());
    EXPECT_FALSE(w.mnu_cts->isChecked());
    EXPECT_FALSE(w.mnu_rts->isChecked());
    // "Courier New" where it is installed, else the system's fixed font.
    EXPECT_TRUE(QFontDatabase::hasFamily(w.view()->font().family())) << w.view()->font().family().toStdString();
    const QFontMetricsF fm(w.view()->font());
    EXPECT_EQ(fm.horizontalAdvance(QLatin1Char('i')), fm.horizontalAdvance(QLatin1Char('M'))) << "monospace";
    if (QFontDatabase::hasFamily(QStringLiteral("Courier New"))) {
        EXPECT_EQ(w.view()->font().family(), QStringLiteral("Courier New"));
    }
    EXPECT_EQ(w.view()->font().pointSize(), 10);
    EXPECT_EQ(w.view()->textColor(), QColor(0xFF, 0xFF, 0x00));
    EXPECT_EQ(w.view()->backgroundColor(), QColor(0x00, 0x80, 0x00));
    EXPECT_FALSE(w.spd_connect->isChecked());
    // The receive path is on; Timer1 ticks only while data flows.
    EXPECT_TRUE(w.receiving());
    EXPECT_EQ(w.timer()->interval(), 5);
    EXPECT_EQ(w.spd_reset->toolTip(), QStringLiteral("Reset - DTR Low"));
    EXPECT_EQ(w.spd_close->toolTip(), QStringLiteral("Close COM and exit"));
}

TEST_F(MainWindowTest, AFirstStartShowsAHundredByThirtyCharacters)
{
    // A small font, so the window fits the offscreen screen; no placement
    // keys, so this is still a first start.
    writeIni("[MainForm]\r\nFont=DejaVu Sans Mono\r\nFontSize=6\r\n");
    Tfrm_Main& w = open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QFontMetrics fm(w.view()->font());
    const int columns = w.view()->viewport()->width() / fm.horizontalAdvance(QLatin1Char('M'));
    EXPECT_GE(columns, 99);
    EXPECT_LE(columns, 101);
    EXPECT_GE(w.view()->visibleLineCount(), 29);
    EXPECT_LE(w.view()->visibleLineCount(), 31);

    // A font too big for a hundred by thirty: the screen is the limit.
    m_window.reset();
    writeIni("[MainForm]\r\nFont=DejaVu Sans Mono\r\nFontSize=48\r\n");
    Tfrm_Main& big = open();
    const QSize available = QGuiApplication::primaryScreen()->availableGeometry().size();
    EXPECT_GT(big.firstStartSize().width(), available.width());
    EXPECT_LE(big.width(), available.width());
    EXPECT_LE(big.height(), available.height());

    // Placement that was saved wins.
    m_window.reset();
    writeIni("[MainFORM]\r\nWidth=509\r\nHeight=386\r\nLeft=10\r\nTop=20\r\n");
    Tfrm_Main& again = open();
    EXPECT_EQ(again.size(), QSize(509, 386));
    EXPECT_EQ(again.pos(), QPoint(10, 20));
}

TEST_F(MainWindowTest, TitleAndByteCountsFollowTheConnection)
{
    Devsim sim({});
    Tfrm_Main& w = open();
    w.show();
    choosePort(w, sim.port());
    w.cbo_baud->setCurrentIndex(w.cbo_baud->findText(QStringLiteral("115200")));
    w.spd_connect->click();
    ASSERT_TRUE(w.spd_connect->isChecked()) << w.Panel2->text().toStdString();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Merovan \u2014 %1 115200 8N1 \u2014 connected").arg(QString::fromStdString(sim.port())));
    ASSERT_TRUE(viewContains(w, QStringLiteral("devsim ready")));
    QTest::keyClicks(w.view(), QStringLiteral("abc"));
    ASSERT_TRUE(viewContains(w, QStringLiteral("abc")));
    // "devsim ready\r\n" and the echo in, the three keys out.
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.lbl_bytes->text() == QStringLiteral("RX 17  TX 3"); }, 2000))
        << w.lbl_bytes->text().toStdString();
    EXPECT_TRUE(w.lbl_bytes->isVisible());

    // The counters refresh on their own timer, not on every byte.
    EXPECT_EQ(w.m_statusTimer->interval(), 100);

    w.spd_connect->click();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Merovan \u2014 %1 115200 8N1 \u2014 closed").arg(QString::fromStdString(sim.port())));
}

// On a quiet line only the port's descriptor can wake the window: Timer1 and
// the counters' refresh stop once nothing moves, and start again with data.
// A pseudo-terminal has no modem lines, so those are not polled at all.
TEST_F(MainWindowTest, TheReceivePathSleepsWhileTheLineIsQuiet)
{
    Devsim sim({});
    Tfrm_Main& w = open();
    w.show();
    choosePort(w, sim.port());
    w.spd_connect->click();
    ASSERT_TRUE(viewContains(w, QStringLiteral("devsim ready")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.timer()->isActive() && !w.m_statusTimer->isActive(); }, 3000));
    EXPECT_TRUE(w.receiving());
    EXPECT_TRUE(w.lineStateText().isEmpty());

    // The device echoes what is typed: it arrives, is shown and counted.
    QTest::keyClicks(w.view(), QStringLiteral("wake"));
    ASSERT_TRUE(viewContains(w, QStringLiteral("wake")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.lbl_bytes->text() == QStringLiteral("RX 18  TX 4"); }, 2000))
        << w.lbl_bytes->text().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.timer()->isActive() && !w.m_statusTimer->isActive(); }, 3000))
        << "asleep again";
}

TEST_F(MainWindowTest, SettingsSurviveARestart)
{
    {
        Tfrm_Main& w = open();
        w.cbo_baud->setCurrentIndex(9);
        w.cbo_stop->setCurrentIndex(1);
        w.cbo_data->setCurrentIndex(3);
        w.mnu_echoClick();
        w.mnu_ctsClick();
        w.mnu_rtsClick();
        QFont font(QStringLiteral("DejaVu Sans Mono"), 13);
        font.setBold(true);
        font.setItalic(true);
        w.view()->setFont(font);
        w.view()->setTextColor(QColor(1, 2, 3));
        w.view()->setBackgroundColor(QColor(200, 100, 50));
        w.resize(640, 480);
        w.move(33, 44);
        w.close();
    }
    EXPECT_TRUE(messages.empty());
    const std::string text = iniText();
    EXPECT_NE(text.find("\r\nBaud=9\r\nStop=1\r\nData=3\r\n[MainFORM]\r\nWidth=640\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("FontColor=197121\r\n"), std::string::npos) << text; // 0x030201

    Tfrm_Main& w = open();
    EXPECT_EQ(w.cbo_baud->currentText(), QStringLiteral("115200"));
    EXPECT_EQ(w.cbo_stop->currentText(), QStringLiteral("2"));
    EXPECT_EQ(w.cbo_data->currentText(), QStringLiteral("7"));
    EXPECT_TRUE(w.mnu_echo->isChecked());
    EXPECT_TRUE(w.mnu_cts->isChecked());
    EXPECT_TRUE(w.mnu_rts->isChecked());
    EXPECT_EQ(w.view()->font().family(), QStringLiteral("DejaVu Sans Mono"));
    EXPECT_EQ(w.view()->font().pointSize(), 13);
    EXPECT_TRUE(w.view()->font().bold());
    EXPECT_TRUE(w.view()->font().italic());
    EXPECT_EQ(w.view()->textColor(), QColor(1, 2, 3));
    EXPECT_EQ(w.view()->backgroundColor(), QColor(200, 100, 50));
    EXPECT_EQ(w.width(), 640);
    EXPECT_EQ(w.height(), 480);
    EXPECT_EQ(w.x(), 33);
    EXPECT_EQ(w.y(), 44);
}

TEST_F(MainWindowTest, HandWrittenSettingsAreReadLikeProfileStrings)
{
    writeIni("; kept\r\n[comm]\r\nBaud=99\r\nstop=1\r\n[checked]\r\nEcho=5\r\n"
             "[mainform]\r\nFontColor=0xFF\r\nFontSize=abc\r\nStyleBold=7\r\n[Mine]\r\nkeep=me\x7f\r\n");
    {
        Tfrm_Main& w = open();
        EXPECT_EQ(w.cbo_baud->currentIndex(), -1) << "an index beyond the list selects nothing";
        EXPECT_EQ(w.cbo_baud->currentText(), QString());
        EXPECT_EQ(w.cbo_stop->currentText(), QStringLiteral("2"));
        EXPECT_TRUE(w.mnu_echo->isChecked());
        EXPECT_EQ(w.view()->textColor(), QColor(255, 0, 0));
        EXPECT_EQ(w.view()->font().pointSize(), 10);
        EXPECT_TRUE(w.view()->font().bold());
        w.Shut_down();
    }
    const std::string text = iniText();
    EXPECT_NE(text.find("; kept\r\n[comm]\r\nBaud=-1\r\nstop=1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Echo=1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Mine]\r\nkeep=me\x7f\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("StyleBold=1\r\n"), std::string::npos) << text;
}

TEST_F(MainWindowTest, AnUnwritableSettingsFileSaysSo)
{
    m_ini = "/nonexistent-dir/Merovan.ini";
    Tfrm_Main& w = open();
    w.Shut_down();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Unable to write to /nonexistent-dir/Merovan.ini"));
}

TEST_F(MainWindowTest, ShowTextFormatsEveryByteClass)
{
    Tfrm_Main& w = open();
    w.Show_text(w.view(), bytes({ 0x41, 0x42, 0x0D, 0x0A, 0x43 }));
    EXPECT_EQ(w.view()->text(), QStringLiteral("AB\nC"));
    w.Clearscreen1Click();
    w.Show_text(w.view(), bytes({ 0x1B, 0x5B, 0x32, 0x4A, 0x08, 0xFF, 0x7F, 0x09, 0x80, 0x00, 0x42 }));
    EXPECT_EQ(w.view()->text(), QStringLiteral("[1b][2J[ff]\x7f\t[80][00]B"));
    w.Clearscreen1Click();
    w.Show_text(w.view(), bytes({ 'x', 0x0D }));
    w.Show_text(w.view(), bytes({ 0x0A, 'y', 0x0A, 'z' }));
    EXPECT_EQ(w.view()->text(), QStringLiteral("x\ny\nz"));
    // Text goes at the end; the caret stays where the user put it.
    w.view()->setCaret({ 0, 1 });
    w.Show_text(w.view(), bytes({ '!' }));
    EXPECT_EQ(w.view()->text(), QStringLiteral("x\ny\nz!"));
    EXPECT_EQ(w.view()->caret(), (TerminalView::Pos { 0, 1 }));
}

TEST_F(MainWindowTest, WorksAgainstTheSimulatedDevice)
{
    const std::string record = tempPath("record");
    Devsim sim({ "--record", record });
    ::setenv("MEROVAN_EXTRA_PORTS", sim.port().c_str(), 1);
    Tfrm_Main& w = open();
    w.show();
    choosePort(w, sim.port());
    w.spd_connect->click();
    ASSERT_TRUE(w.spd_connect->isChecked()) << w.Panel2->text().toStdString();
    EXPECT_FALSE(w.cbo_port->isEnabled());
    EXPECT_FALSE(w.cbo_baud->isEnabled());
    EXPECT_TRUE(viewContains(w, QStringLiteral("devsim ready")));

    // Typing sends; the device's echo comes back.
    QTest::keyClicks(w.view(), QStringLiteral("hi"));
    EXPECT_TRUE(viewContains(w, QStringLiteral("ready\nhi")));
    EXPECT_FALSE(w.view()->text().contains(QStringLiteral("hihi")));

    // With local echo on, each key also shows at once.
    w.mnu_echoClick();
    QTest::keyClick(w.view(), Qt::Key_Escape);
    EXPECT_TRUE(viewContains(w, QStringLiteral("[1b][1b]")));

    w.Clearscreen1Click();
    EXPECT_EQ(w.view()->text(), QString());

    // CTS and RTS on an open port do no harm.
    w.mnu_ctsClick();
    w.mnu_rtsClick();
    w.mnu_ctsClick();
    w.mnu_rtsClick();
    w.mnu_echoClick();
    QTest::keyClicks(w.view(), QStringLiteral("ok"));
    EXPECT_TRUE(viewContains(w, QStringLiteral("ok")));
    EXPECT_TRUE(w.port().isOpen());

    ASSERT_TRUE(merovan::test::waitForFileSize(record, 5));
    EXPECT_EQ(readFile(record), std::string("hi\x1b") + "ok");

    w.spd_connect->click();
    EXPECT_FALSE(w.port().isOpen());
    EXPECT_TRUE(w.cbo_port->isEnabled());
    fs::remove(record);
}

TEST_F(MainWindowTest, EchoAfterAClickOrSelectionLandsAtTheEnd)
{
    Devsim sim({});
    Tfrm_Main& w = open();
    w.resize(600, 400);
    w.show();
    choosePort(w, sim.port());
    w.spd_connect->click();
    ASSERT_TRUE(w.spd_connect->isChecked()) << w.Panel2->text().toStdString();
    ASSERT_TRUE(viewContains(w, QStringLiteral("devsim ready")));
    const QString greeting = w.view()->text();
    const QFontMetrics fm(w.view()->font());
    const int cw = fm.horizontalAdvance(QLatin1Char('M'));
    const int lh = fm.lineSpacing();

    // A click inside "devsim", then the device echoes what is typed.
    QTest::mouseClick(w.view()->viewport(), Qt::LeftButton, {}, QPoint(cw * 3 + 1, lh / 2));
    const TerminalView::Pos caret = w.view()->caret();
    QTest::keyClicks(w.view(), QStringLiteral("XYZ"));
    ASSERT_TRUE(viewContains(w, QStringLiteral("XYZ")));
    EXPECT_EQ(w.view()->text(), greeting + QStringLiteral("XYZ"));
    EXPECT_EQ(w.view()->caret(), caret);

    // A selection is neither replaced nor moved.
    QTest::mouseClick(w.view()->viewport(), Qt::LeftButton, {}, QPoint(1, lh / 2));
    QTest::mouseClick(w.view()->viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(cw * 6 + 1, lh / 2));
    ASSERT_EQ(w.view()->selectedText(), QStringLiteral("devsim"));
    QTest::keyClicks(w.view(), QStringLiteral("ab"));
    ASSERT_TRUE(viewContains(w, QStringLiteral("XYZab")));
    EXPECT_EQ(w.view()->text(), greeting + QStringLiteral("XYZab"));
    EXPECT_EQ(w.view()->selectedText(), QStringLiteral("devsim"));
}

TEST_F(MainWindowTest, AFailedOpenBringsTheButtonBackUpWithTheReason)
{
    Tfrm_Main& w = open();
    choosePort(w, "/dev/merovan-missing");
    w.spd_connect->click();
    EXPECT_FALSE(w.spd_connect->isChecked());
    EXPECT_TRUE(w.cbo_port->isEnabled());
    EXPECT_TRUE(w.spd_refresh->isEnabled());
    EXPECT_EQ(w.Panel2->text(), QStringLiteral("Cannot open /dev/merovan-missing: No such file or directory"));
    EXPECT_TRUE(messages.empty()) << "no message box";

    // A port another process holds names that process.
    Devsim sim({});
    merovan::test::Background holder(MEROVAN_CLI_PATH, { "monitor", "-p", sim.port(), "--seconds", "30" });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !merovan::findPortHolder(sim.port()).empty(); }, 5000));
    choosePort(w, sim.port());
    w.spd_connect->click();
    EXPECT_FALSE(w.spd_connect->isChecked());
    EXPECT_EQ(w.Panel2->text(),
              QStringLiteral("Cannot open %1: the port is in use by another program (held by merovan-cli (pid %2))")
                  .arg(QString::fromStdString(sim.port()))
                  .arg(holder.pid()));
}

TEST_F(MainWindowTest, RefusedLineSettingsDoNotKeepThePortHeld)
{
    Devsim sim({});
    Tfrm_Main& w = open();
    choosePort(w, sim.port());
    w.cbo_data->setCurrentIndex(0); // 4 data bits
    w.spd_connect->click();
    EXPECT_FALSE(w.spd_connect->isChecked());
    EXPECT_EQ(w.Panel2->text(), QStringLiteral("Cannot open %1: 4 data bits are not supported on this system")
                                    .arg(QString::fromStdString(sim.port())));
    // Another program can open it now.
    merovan::SerialPort other(m_clock);
    EXPECT_EQ(other.openPort(sim.port(), "9600,8,N,1"), 0) << other.lastError();
}

TEST_F(MainWindowTest, ADeviceThatVanishesEndsAsDisconnected)
{
    auto sim = std::make_unique<Devsim>(std::vector<std::string> {});
    const std::string path = sim->port();
    Tfrm_Main& w = open();
    w.mnu_reconnect->setChecked(false);
    choosePort(w, path);
    w.spd_connect->click();
    ASSERT_TRUE(w.spd_connect->isChecked());
    sim->stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.spd_connect->isChecked(); }, 3000));
    EXPECT_EQ(w.Panel2->text(), QStringLiteral("Disconnected: ") + QString::fromStdString(path));
    EXPECT_TRUE(w.cbo_port->isEnabled());
    EXPECT_FALSE(w.port().isOpen());
}

TEST_F(MainWindowTest, DialogButtonsToggleTheirFlags)
{
    Tfrm_Main& w = open();
    QWidget dialog;
    w.setDialog(Tfrm_Main::Dialog::Text, &dialog, nullptr);
    EXPECT_TRUE(w.spd_settings->isEnabled());
    EXPECT_FALSE(w.spd_binary->isEnabled()) << "no binary dialog yet";
    w.spd_settings->click();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(w.dialogFlag(Tfrm_Main::Dialog::Text));
    w.spd_settings->click();
    EXPECT_FALSE(dialog.isVisible());
    // Closed by its own close box, the flag stays set: one click clears it,
    // the next shows the dialog again.
    w.spd_settings->click();
    dialog.close();
    w.spd_settings->click();
    EXPECT_FALSE(dialog.isVisible());
    w.spd_settings->click();
    EXPECT_TRUE(dialog.isVisible());
    w.setDialog(Tfrm_Main::Dialog::Text, nullptr, nullptr);
}

TEST_F(MainWindowTest, ResetWithNoPortOpenOnlyWaits)
{
    Tfrm_Main& w = open();
    QElapsedTimer t;
    t.start();
    std::clock_t cpuStart = std::clock();
    w.spd_resetClick();
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    EXPECT_GE(t.elapsed(), 990);
    EXPECT_LT(cpuMs, 300.0) << "the pulse must not burn a core";
    EXPECT_FALSE(w.port().isOpen());
}

TEST(AboutBox, OpensTheInstalledGuideWhenInstalledAndTheCheckoutsOtherwise)
{
    const fs::path prefix = tempPath("prefix");
    fs::create_directories(prefix / "bin");
    const QString bin = QString::fromStdString((prefix / "bin").string());

    // From a build tree: the guide in the checkout.
    const QUrl fromBuild = documentationUrl(bin);
    ASSERT_TRUE(fromBuild.isLocalFile());
    EXPECT_TRUE(fromBuild.toLocalFile().endsWith(QStringLiteral("/docs/user-guide.html"))) << fromBuild.toString().toStdString();
    EXPECT_TRUE(QFileInfo::exists(fromBuild.toLocalFile()));

    // Installed: PREFIX/share/doc/merovan beside PREFIX/bin.
    fs::create_directories(prefix / "share" / "doc" / "merovan");
    std::ofstream(prefix / "share" / "doc" / "merovan" / "user-guide.html") << "<html></html>";
    const QUrl installed = documentationUrl(bin);
    EXPECT_EQ(installed.toLocalFile().toStdString(),
              fs::canonical(prefix / "share" / "doc" / "merovan" / "user-guide.html").string());
    fs::remove_all(prefix);
}
