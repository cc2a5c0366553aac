// SPDX-License-Identifier: GPL-3.0-or-later
// The Serial menu's line-end maps against merovan-devsim: what the Enter key
// puts on the line, how received line ends are shown, and that the raw log
// and the settings keep what they should.

#include "app/main_window.h"
#include "app/terminal_view.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/process.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::tempPath;

namespace fs = std::filesystem;

namespace {

class LineMaps : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = tempPath("gui-maps");
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
        m_window.reset();
        m_window = std::make_unique<Tfrm_Main>(m_port, m_ini);
        m_window->setMessageHandler([](const QString&) { });
        return *m_window;
    }

    void connectTo(Tfrm_Main& w, const std::string& path)
    {
        w.cbo_port->setEditText(QString::fromStdString(path));
        w.spd_connect->click();
        ASSERT_TRUE(w.port().isOpen()) << w.Panel2->text().toStdString();
    }

    std::string path(const std::string& name) const { return m_dir + "/" + name; }

    merovan::SteadyClock m_clock;
    merovan::SerialPort m_port { m_clock };
    std::string m_dir;
    std::string m_ini;
    std::unique_ptr<Tfrm_Main> m_window;
};

std::span<const std::uint8_t> bytes(std::string_view s)
{
    return { reinterpret_cast<const std::uint8_t*>(s.data()), s.size() };
}

} // namespace

TEST_F(LineMaps, EnterSendsTheChosenLineEndToTheDevice)
{
    Devsim sim({ "--record", path("rec"), "--no-echo" });
    Tfrm_Main& w = open();
    // Beside the echo in the Serial menu, CR first, as Enter always sent.
    ASSERT_NE(w.mnu_enter, nullptr);
    EXPECT_EQ(w.mnu_enter->title(), QStringLiteral("E&nter sends"));
    EXPECT_TRUE(w.mnu_enterCr->isChecked());
    EXPECT_EQ(w.enterMap(), merovan::EnterMap::Cr);
    connectTo(w, sim.port());
    w.view()->setFocus();

    const std::pair<QAction*, std::string> cases[] = {
        { w.mnu_enterCr, "\r" }, { w.mnu_enterLf, "\n" }, { w.mnu_enterCrLf, "\r\n" }, { w.mnu_enterCr, "\r" }
    };
    std::string expected;
    for (const auto& [item, lineEnd] : cases) {
        item->trigger();
        EXPECT_TRUE(item->isChecked());
        QTest::keyClick(w.view(), Qt::Key_A);
        QTest::keyClick(w.view(), Qt::Key_Return);
        QTest::keyClick(w.view(), Qt::Key_Enter, Qt::KeypadModifier);
        expected += "a" + lineEnd + lineEnd;
        ASSERT_TRUE(merovan::test::waitForFileSize(path("rec"), expected.size())) << readFile(path("rec"));
    }
    // Ctrl+J is a line feed of its own, whatever Enter sends.
    w.mnu_enterCrLf->trigger();
    QTest::keyClick(w.view(), Qt::Key_J, Qt::ControlModifier);
    expected += "\n";
    ASSERT_TRUE(merovan::test::waitForFileSize(path("rec"), expected.size()));
    EXPECT_EQ(readFile(path("rec")), expected);
}

TEST_F(LineMaps, LocalEchoOfCrLfIsOneLineEnd)
{
    Tfrm_Main& w = open();
    w.mnu_echoClick();
    w.mnu_enterCrLf->trigger();
    w.view()->setFocus();
    QTest::keyClicks(w.view(), QStringLiteral("ab"));
    QTest::keyClick(w.view(), Qt::Key_Return);
    QTest::keyClicks(w.view(), QStringLiteral("c"));
    EXPECT_EQ(w.view()->text(), QStringLiteral("ab\nc"));
}

TEST_F(LineMaps, EveryIncomingMapShowsEachLineOnceAndLeavesTheRawLogAlone)
{
    const std::string greeting = "one\rtwo\nthree\r\nfour";
    for (QAction* Tfrm_Main::*item : { &Tfrm_Main::mnu_inAsReceived, &Tfrm_Main::mnu_inLfCrLf,
                                       &Tfrm_Main::mnu_inCrNewLine }) {
        fs::remove(path("raw.log"));
        Devsim sim({ "--greeting", "one\\rtwo\\nthree\\r\\nfour" });
        Tfrm_Main& w = open();
        (w.*item)->trigger();
        ASSERT_TRUE((w.*item)->isChecked());
        merovan::LogOptions raw;
        raw.form = merovan::LogForm::Raw;
        ASSERT_TRUE(w.startLog(path("raw.log"), raw));
        connectTo(w, sim.port());
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.view()->text().endsWith(QStringLiteral("four")); }, 3000))
            << w.view()->text().toStdString();
        EXPECT_EQ(w.view()->text(), QStringLiteral("one\ntwo\nthree\nfour")) << (w.*item)->text().toStdString();
        w.stopLog();
        EXPECT_EQ(readFile(path("raw.log")), greeting) << "no map alters the raw log";

        // A CR LF split across two reads is still one line end.
        w.Clearscreen1Click();
        w.Show_text(w.view(), bytes("x\r"));
        w.Show_text(w.view(), bytes("\ny\r"));
        w.Show_text(w.view(), bytes("\n"));
        EXPECT_EQ(w.view()->text(), QStringLiteral("x\ny\n")) << (w.*item)->text().toStdString();
        w.spd_connect->click();
    }
}

TEST_F(LineMaps, TheMapsAreMappedBytesForEveryViewAndKeptInTheSettings)
{
    {
        Tfrm_Main& w = open();
        EXPECT_TRUE(w.mnu_inAsReceived->isChecked());
        w.mnu_inLfCrLf->trigger();
        const auto lf = w.mapIncoming(bytes("a\nb\r\n"));
        EXPECT_EQ(std::string(lf.begin(), lf.end()), "a\r\nb\r\n");
        w.mnu_inCrNewLine->trigger();
        const auto cr = w.mapIncoming(bytes("c\rd"));
        EXPECT_EQ(std::string(cr.begin(), cr.end()), "c\r\nd");
        w.mnu_enterLf->trigger();
        const auto enter = w.enterKeyBytes();
        EXPECT_EQ(std::string(enter.begin(), enter.end()), "\n");
        w.Shut_down();
    }
    const std::string ini = readFile(m_ini);
    EXPECT_NE(ini.find("[TERMINAL]\r\nEnter=LF\r\nIncoming=CR-CRLF\r\n"), std::string::npos) << ini;
    Tfrm_Main& again = open();
    EXPECT_TRUE(again.mnu_enterLf->isChecked());
    EXPECT_TRUE(again.mnu_inCrNewLine->isChecked());
    EXPECT_EQ(again.incomingMap(), merovan::IncomingMap::LoneCrBreaks);
}
