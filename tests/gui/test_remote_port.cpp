// SPDX-License-Identifier: GPL-3.0-or-later
// The window on a device server's port: an rfc2217:// name typed into the
// port box connects through the real ser2net, the title and the status line
// show it with the remote modem lines and the server's notes, the name is
// kept for the next start, and a server that goes away and comes back is
// reconnected to.
#include "app/main_window.h"
#include "app/terminal_view.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/process.h"
#include "support/ser2net.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

using merovan::test::Devsim;
using merovan::test::Ser2net;
using merovan::test::tempPath;

namespace {

class RemotePortWindow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Ser2net::installed()) {
            if (Ser2net::required())
                FAIL() << "ser2net is missing under CI: tools/install-deps.sh installs it";
            GTEST_SKIP() << "ser2net is not installed (Debian package ser2net; tools/install-deps.sh)";
        }
        m_ini = tempPath("ini") + ".ini";
        ::unsetenv("MEROVAN_EXTRA_PORTS");
    }
    void TearDown() override
    {
        m_window.reset();
        std::filesystem::remove(m_ini);
    }
    Tfrm_Main& open()
    {
        m_window = std::make_unique<Tfrm_Main>(m_port, m_ini);
        m_window->setMessageHandler([](const QString&) {});
        return *m_window;
    }

    merovan::SteadyClock m_clock;
    merovan::SerialPort m_port { m_clock };
    std::string m_ini;
    std::unique_ptr<Tfrm_Main> m_window;
};

} // namespace

TEST_F(RemotePortWindow, ATypedRfc2217NameConnectsShowsTheRemoteStateAndIsKept)
{
    Devsim sim({});
    Ser2net server({ { true, sim.port() } });
    const QString url = QString::fromStdString(server.url(0));
    {
        Tfrm_Main& w = open();
        w.show();
        w.mnu_reconnect->setChecked(true);
        w.cbo_port->setCurrentIndex(-1);
        w.cbo_port->setEditText(url);
        w.cbo_baud->setCurrentIndex(w.cbo_baud->findText(QStringLiteral("115200")));
        w.spd_connect->click();
        ASSERT_TRUE(w.spd_connect->isChecked()) << w.Panel2->text().toStdString();
        EXPECT_EQ(w.windowTitle().toStdString(),
                  QStringLiteral("Merovan \u2014 %1 115200 8N1 \u2014 connected").arg(url).toStdString());
        QTest::keyClicks(w.view(), QStringLiteral("abc"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.view()->text().contains(QStringLiteral("abc")); }, 3000));
        // ser2net reports the modem lines of its device (a pseudo-terminal:
        // all off), and says nothing to DTR and RTS, which is noted once.
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.lbl_lines->isVisible(); }, 3000));
        EXPECT_TRUE(w.lbl_lines->text().contains(QStringLiteral("CTS"))) << w.lbl_lines->text().toStdString();
        EXPECT_TRUE(w.lbl_lines->text().contains(QStringLiteral("DCD")));
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return w.Panel2->text()
                    == url + QStringLiteral(": the server does not acknowledge DTR/RTS (a device without modem "
                                            "lines?); going on without them");
            },
            4000))
            << w.Panel2->text().toStdString();
        EXPECT_GE(w.cbo_port->findText(url), 0) << "kept in the port box";

        // The server goes away: waiting, then back without a hand.
        server.stop();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return w.Panel2->text() == QStringLiteral("Disconnected: %1, waiting for it to return").arg(url); },
            5000))
            << w.Panel2->text().toStdString();
        EXPECT_TRUE(w.spd_connect->isChecked());
        const QString waiting = QStringLiteral("Merovan \u2014 %1 115200 8N1 \u2014 waiting for the device").arg(url);
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.windowTitle() == waiting; }, 1000)) << w.windowTitle().toStdString();
        server.start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.port().isOpen(); }, 8000)) << w.Panel2->text().toStdString();
        QTest::keyClicks(w.view(), QStringLiteral("xyz"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.view()->text().contains(QStringLiteral("xyz")); }, 3000));
        w.close();
    }
    // The next start offers the name again, chosen.
    m_window.reset();
    Tfrm_Main& again = open();
    EXPECT_GE(again.cbo_port->findText(url), 0);
    EXPECT_EQ(again.cbo_port->currentText(), url);
}

// A server's note can be long; the status line shows what fits, cut with an
// ellipsis, and the window keeps its width. The whole note stays the text.
TEST(StatusLine, ALongNoteDoesNotWidenTheWindow)
{
    const std::string ini = tempPath("ini") + ".ini";
    merovan::SteadyClock clock;
    merovan::SerialPort port { clock };
    {
        Tfrm_Main w(port, ini);
        w.setMessageHandler([](const QString&) {});
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        QTest::qWait(50);
        const int width = w.width();
        const QString note = QStringLiteral("rfc2217://lab.example.org:7001: the server does not acknowledge DTR/RTS "
                                            "(a device without modem lines?); going on without them; ")
                                 .repeated(3);
        w.Panel2->setText(note);
        QTest::qWait(50);
        EXPECT_EQ(w.width(), width);
        EXPECT_LT(w.Panel2->width(), w.Panel2->fontMetrics().horizontalAdvance(note));
        EXPECT_EQ(w.Panel2->text(), note);
        w.Panel2->setText(QStringLiteral("Reconnected"));
        QTest::qWait(20);
        EXPECT_EQ(w.width(), width);
    }
    std::filesystem::remove(ini);
}
