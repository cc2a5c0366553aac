// SPDX-License-Identifier: GPL-3.0-or-later
// What a new user meets first: the line controls, the menus' plain items,
// the scripts dialog's care with files and text, the characters above 7F.

#include "app/main_window.h"
#include "app/terminal_view.h"
#include "dialogs/binary_dialog.h"
#include "dialogs/boot_dialog.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/text_dialog.h"
#include "scripts/script_dialog.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/process.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPlainTextEdit>
#include <QPushButton>
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

class FirstUse : public ::testing::Test
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
        for (const char* name : { "MEROVAN_EXTRA_PORTS", "MEROVAN_DEVSIM", "MEROVAN_SYSFS_ROOT", "MEROVAN_DEV_ROOT" })
            ::unsetenv(name);
        fs::remove(m_ini);
    }

    Tfrm_Main& open()
    {
        m_window = std::make_unique<Tfrm_Main>(m_port, m_ini);
        m_window->setMessageHandler([this](const QString& m) { messages.push_back(m); });
        return *m_window;
    }

    static void choosePort(Tfrm_Main& w, const std::string& path)
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

    // The controls as the connect button leaves them.
    static void expectControls(Tfrm_Main& w, bool connected)
    {
        EXPECT_EQ(w.spd_connect->isChecked(), connected);
        EXPECT_EQ(w.mnu_connect->isChecked(), connected);
        for (QWidget* c : { static_cast<QWidget*>(w.spd_refresh), static_cast<QWidget*>(w.cbo_port),
                            static_cast<QWidget*>(w.cbo_baud), static_cast<QWidget*>(w.cbo_stop),
                            static_cast<QWidget*>(w.cbo_data) })
            EXPECT_EQ(c->isEnabled(), !connected) << c->objectName().toStdString();
    }

    // Key presses that carry these characters, as a keyboard layout makes
    // them (QTest's own key clicks know only ASCII).
    static void typeText(QWidget* target, const QString& text)
    {
        for (const char32_t c : text.toUcs4()) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUcs4(&c, 1));
            QApplication::sendEvent(target, &press);
        }
    }

    merovan::SteadyClock m_clock;
    merovan::SerialPort m_port { m_clock };
    std::string m_ini;
    std::unique_ptr<Tfrm_Main> m_window;
    std::vector<QString> messages;
};

} // namespace

TEST_F(FirstUse, ATypedBaudRateIsTheOneUsed)
{
    Devsim sim({});
    Tfrm_Main& w = open();
    choosePort(w, sim.port());
    // Typed, not chosen: the list's selected entry stays 9600.
    w.cbo_baud->setEditText(QStringLiteral("250000"));
    ASSERT_EQ(w.cbo_baud->itemText(w.cbo_baud->currentIndex()), QStringLiteral("9600"));
    w.spd_connect->click();
    ASSERT_TRUE(w.port().isOpen()) << w.Panel2->text().toStdString();
    EXPECT_EQ(w.port().baudRate(), 250000u);
    EXPECT_TRUE(w.windowTitle().contains(QStringLiteral(" 250000 8N1 "))) << w.windowTitle().toStdString();
    w.spd_connect->click();

    // Not a rate: a clear reason, and the port stays closed.
    const struct
    {
        const char* typed;
        const char* reason;
    } refused[] = {
        { "fast", "the baud rate \"fast\" is not a number" },
        { "96OO", "the baud rate \"96OO\" is not a number" },
        { "-9600", "the baud rate \"-9600\" is not a number" },
        { "0", "a baud rate of 0 is not valid" },
        { "99999999999", "the baud rate \"99999999999\" is not a number" },
        { "", "no baud rate given" },
    };
    for (const auto& r : refused) {
        w.cbo_baud->setEditText(QString::fromLatin1(r.typed));
        w.spd_connect->click();
        EXPECT_FALSE(w.port().isOpen()) << r.typed;
        expectControls(w, false);
        EXPECT_EQ(w.Panel2->text(),
                  QStringLiteral("Cannot open %1: %2").arg(QString::fromStdString(sim.port()), QString::fromUtf8(r.reason)))
            << r.typed;
    }
    // One the driver refuses (a pseudo-terminal takes any, so a real driver
    // is not needed to see the path: a rate beyond any termios).
    w.cbo_baud->setEditText(QStringLiteral("4294967295"));
    w.spd_connect->click();
    if (w.port().isOpen()) {
        w.spd_connect->click();
    } else {
        EXPECT_TRUE(w.Panel2->text().startsWith(QStringLiteral("Cannot open "))) << w.Panel2->text().toStdString();
        expectControls(w, false);
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(FirstUse, ExitAndAltXQuitAsTheCloseBoxDoesAndOpenSaveAreDisabled)
{
    {
        Tfrm_Main& w = open();
        EXPECT_FALSE(w.OpenItem->isEnabled());
        EXPECT_FALSE(w.SaveItem->isEnabled());
        EXPECT_TRUE(w.ExitItem->isEnabled());
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        w.move(61, 72);
        w.ExitItem->trigger();
        EXPECT_FALSE(w.isVisible());
        const std::string ini = readFile(m_ini);
        EXPECT_NE(ini.find("Left=61\r\nTop=72\r\n"), std::string::npos) << ini;
    }
    fs::remove(m_ini);
    {
        Tfrm_Main& w = open();
        w.show();
        QApplication::setActiveWindow(&w);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
        w.move(63, 74);
        QTest::keyClick(&w, Qt::Key_X, Qt::AltModifier);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 2000));
        const std::string ini = readFile(m_ini);
        EXPECT_NE(ini.find("Left=63\r\nTop=74\r\n"), std::string::npos) << ini;
    }
}

TEST_F(FirstUse, EveryWayToConnectLeavesTheControlsAsTheButtonDoes)
{
    Devsim sim({});
    ::setenv("MEROVAN_EXTRA_PORTS", sim.port().c_str(), 1);
    Tfrm_Main& w = open();
    w.show();
    choosePort(w, sim.port());
    ASSERT_GE(w.cbo_port->currentIndex(), 0);

    // The menu item, from closed and from open.
    w.mnu_connect->trigger();
    ASSERT_TRUE(w.port().isOpen()) << w.Panel2->text().toStdString();
    expectControls(w, true);
    ASSERT_TRUE(viewContains(w, QStringLiteral("devsim ready")));
    w.mnu_connect->trigger();
    EXPECT_FALSE(w.port().isOpen());
    expectControls(w, false);

    // The button, then the menu.
    w.spd_connect->click();
    ASSERT_TRUE(w.port().isOpen());
    expectControls(w, true);

    // Refresh from the menu while connected: the open port stays chosen
    // and open.
    w.mnu_refresh->trigger();
    EXPECT_TRUE(w.port().isOpen());
    EXPECT_EQ(w.cbo_port->currentText(), QString::fromStdString(sim.port()));
    EXPECT_GE(w.cbo_port->currentIndex(), 0);
    expectControls(w, true);
    // And so after a hot-plug look.
    w.devicesChanged();
    EXPECT_EQ(w.cbo_port->currentText(), QString::fromStdString(sim.port()));
    QTest::keyClicks(w.view(), QStringLiteral("still"));
    EXPECT_TRUE(viewContains(w, QStringLiteral("still")));

    w.mnu_connectClick();
    EXPECT_FALSE(w.port().isOpen());
    expectControls(w, false);

    // A failed open from the menu leaves everything up.
    choosePort(w, "/dev/merovan-missing");
    w.mnu_connect->trigger();
    EXPECT_FALSE(w.port().isOpen());
    expectControls(w, false);

    // Closed, a refresh selects nothing, as before.
    w.mnu_refreshClick();
    EXPECT_EQ(w.cbo_port->currentIndex(), -1);
}

TEST_F(FirstUse, TheViewFontExistsAndOkWithoutAChangeKeepsIt)
{
    // A stored family that is not installed: the system's fixed font.
    std::ofstream(m_ini, std::ios::binary) << "[MainForm]\r\nFont=No Such Font Family\r\nFontSize=11\r\n";
    {
        Tfrm_Main& w = open();
        const QFont f = w.view()->font();
        EXPECT_TRUE(QFontDatabase::hasFamily(f.family())) << f.family().toStdString();
        const QFontMetricsF fm(f);
        EXPECT_EQ(fm.horizontalAdvance(QLatin1Char('i')), fm.horizontalAdvance(QLatin1Char('M'))) << "monospace";
        EXPECT_EQ(f.pointSize(), 11);
        EXPECT_FALSE(f.italic());
        m_window.reset();
    }

    // Installed ones are kept, plain or styled; the dialog confirmed
    // without a change leaves the font exactly as it was.
    const struct
    {
        const char* family;
        bool bold;
        bool italic;
    } fonts[] = { { "DejaVu Sans Mono", false, false }, { "DejaVu Sans Mono", true, false },
                  { "DejaVu Sans Mono", false, true }, { "DejaVu Serif", false, false } };
    for (const auto& c : fonts) {
        if (!QFontDatabase::hasFamily(QLatin1String(c.family)))
            continue;
        std::ofstream(m_ini, std::ios::binary) << "[MainForm]\r\nFont=" << c.family << "\r\nFontSize=10\r\nStyleBold="
                                               << c.bold << "\r\nStyleItalic=" << c.italic << "\r\n";
        Tfrm_Main& w = open();
        w.show();
        const QFont before = w.view()->font();
        EXPECT_EQ(before.family(), QLatin1String(c.family));
        EXPECT_EQ(before.bold(), c.bold);
        EXPECT_EQ(before.italic(), c.italic);
        bool seen = false;
        QTimer::singleShot(0, [&] {
            if (auto* dialog = qobject_cast<QFontDialog*>(QApplication::activeModalWidget())) {
                seen = true;
                const QFont shown = dialog->currentFont();
                EXPECT_EQ(shown.family(), before.family());
                EXPECT_EQ(shown.italic(), before.italic()) << c.family << " preselects its own face";
                EXPECT_EQ(shown.bold(), before.bold());
                dialog->accept();
            }
        });
        w.Font1Click();
        EXPECT_TRUE(seen);
        EXPECT_EQ(w.view()->font(), before) << c.family;
        EXPECT_EQ(w.view()->font().toString().toStdString(), before.toString().toStdString());
        m_window.reset();
    }
}

TEST_F(FirstUse, CharactersAboveSevenFFollowOneSetting)
{
    const std::string record = tempPath("record");
    Devsim sim({ "--record", record });
    {
        Tfrm_Main& w = open();
        Tfrm_script scripts(w);
        EXPECT_TRUE(w.mnu_latin1->isChecked()) << "Latin-1 unless chosen";
        EXPECT_EQ(w.charset(), merovan::Charset::Latin1);
        choosePort(w, sim.port());
        w.spd_connect->click();
        ASSERT_TRUE(w.port().isOpen()) << w.Panel2->text().toStdString();
        ASSERT_TRUE(viewContains(w, QStringLiteral("devsim ready")));

        // Latin-1: one byte, and its echo shows bracketed; the euro sign has
        // no byte and is not sent, with a word why.
        typeText(w.view(), QStringLiteral("\u00f6\u20ac"));
        EXPECT_TRUE(viewContains(w, QStringLiteral("[f6]")));
        EXPECT_TRUE(w.Panel2->text().contains(QStringLiteral("UTF-8"))) << w.Panel2->text().toStdString();

        // UTF-8 from the menu: typing, the script dialog's Send and the view.
        int changes = 0;
        QObject::connect(&w, &Tfrm_Main::charsetChanged, [&] { ++changes; });
        w.mnu_utf8->trigger();
        EXPECT_EQ(w.charset(), merovan::Charset::Utf8);
        EXPECT_EQ(changes, 1);
        typeText(w.view(), QStringLiteral("\u00f6\u20ac|"));
        EXPECT_TRUE(viewContains(w, QStringLiteral("\u00f6\u20ac|"))) << w.view()->text().toStdString();
        scripts.mmo_script->setPlainText(QStringLiteral("\u00e9\\r"));
        scripts.btn_send->click();
        EXPECT_EQ(w.encodeText(QStringLiteral("\u00e9\U0001F600")), "\xc3\xa9\xf0\x9f\x98\x80");

        // Invalid bytes from the device still show as [xx].
        const std::uint8_t bad[] = { 0xFF, 'x', 0xC3 };
        w.Show_text(w.view(), bad);
        const std::uint8_t rest[] = { 0xB6, '\n' };
        w.Show_text(w.view(), rest);
        EXPECT_TRUE(w.view()->text().contains(QStringLiteral("[ff]x\u00f6"))) << w.view()->text().toStdString();

        ASSERT_TRUE(merovan::test::waitForFileSize(record, 1 + 6 + 3));
        EXPECT_EQ(readFile(record).substr(0, 1 + 6 + 3), std::string("\xf6") + "\xc3\xb6\xe2\x82\xac|" + "\xc3\xa9\r");
        w.close();
    }
    EXPECT_NE(readFile(m_ini).find("Characters=UTF-8\r\n"), std::string::npos);
    Tfrm_Main& again = open();
    EXPECT_TRUE(again.mnu_utf8->isChecked());
    EXPECT_EQ(again.charset(), merovan::Charset::Utf8);
    again.mnu_latin1->trigger();
    EXPECT_EQ(again.encodeText(QStringLiteral("\u00e9\u20ac")), "\xe9");
    fs::remove(record);
}

TEST_F(FirstUse, WindowsComeBackExactlyWhereTheyWere)
{
    // Shown, moved, saved and made again, three times over: no drift.
    const QPoint mainAt(40, 50);
    const QPoint at[] = { { 300, 90 }, { 320, 260 }, { 500, 120 }, { 520, 300 } };
    for (int round = 0; round < 3; ++round) {
        Tfrm_Main& w = open();
        auto text = std::make_unique<Tfrm_text>(w);
        auto boot = std::make_unique<Tfrm_boot>(w);
        auto bin = std::make_unique<Tfrm_bin>(w);
        auto script = std::make_unique<Tfrm_script>(w);
        QWidget* dialogs[] = { text.get(), boot.get(), bin.get(), script.get() };
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        for (QToolButton* b : { w.spd_settings, w.spb_boot, w.spd_binary, w.spd_script })
            b->click();
        for (QWidget* d : dialogs)
            ASSERT_TRUE(QTest::qWaitForWindowExposed(d));
        if (round == 0) {
            w.move(mainAt);
            for (int i = 0; i < 4; ++i)
                dialogs[i]->move(at[i]);
        }
        EXPECT_EQ(w.pos(), mainAt) << "round " << round;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(dialogs[i]->pos(), at[i]) << dialogs[i]->objectName().toStdString() << ", round " << round;
        w.close();
        script.reset();
        bin.reset();
        boot.reset();
        text.reset();
        m_window.reset();
    }
}

TEST_F(FirstUse, TextIsDrawnOnTheCellsTheCaretUses)
{
    // A long line of a font whose advance is a fraction of a pixel (7.8 px
    // for 10 points at 96 dpi): its last character must end on the cell
    // where the caret after it is drawn.
    Tfrm_Main& w = open();
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPointSizeF(10.0);
    w.view()->setFont(font);
    w.view()->setTextColor(Qt::white);
    w.view()->setBackgroundColor(Qt::black);
    w.resize(1200, 300);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const int columns = 120;
    const std::string line(columns, 'M');
    w.Show_text(w.view(), std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    const int cell = qRound(QFontMetricsF(w.view()->font()).horizontalAdvance(QLatin1Char('M')));
    ASSERT_LT(columns * cell, w.view()->viewport()->width());
    const QImage image = w.view()->viewport()->grab().toImage();
    int rightmost = -1;
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < QFontMetrics(w.view()->font()).lineSpacing(); ++y)
            if (qGray(image.pixel(x, y)) > 128)
                rightmost = x;
    EXPECT_GT(rightmost, (columns - 1) * cell) << "the last M ends in its own cell";
    EXPECT_LE(rightmost, columns * cell + 1) << "and not beyond it";
}

TEST_F(FirstUse, WithNoPortTheViewSaysHowToStartAndTheSimulatedDeviceIsOneClickAway)
{
    // A machine without serial ports: empty device and sysfs trees.
    const std::string empty = tempPath("noports");
    fs::create_directories(empty);
    ::setenv("MEROVAN_SYSFS_ROOT", empty.c_str(), 1);
    ::setenv("MEROVAN_DEV_ROOT", empty.c_str(), 1);
    ::setenv("MEROVAN_DEVSIM", MEROVAN_DEVSIM_PATH, 1);
    Tfrm_Main& w = open();
    ASSERT_EQ(w.cbo_port->count(), 0);
    const QString hint = w.view()->property("hintText").toString();
    EXPECT_TRUE(hint.contains(QStringLiteral("Try with the simulated device"))) << hint.toStdString();
    EXPECT_EQ(w.view()->text(), QString()) << "a hint, not text of the session";

    auto* trySim = w.findChild<QAction*>(QStringLiteral("mnu_trySimulated"));
    ASSERT_NE(trySim, nullptr);
    EXPECT_EQ(trySim->text(), QStringLiteral("&Try with the simulated device"));
    trySim->trigger();
    ASSERT_TRUE(w.port().isOpen()) << w.Panel2->text().toStdString();
    EXPECT_TRUE(w.spd_connect->isChecked());
    EXPECT_TRUE(viewContains(w, QStringLiteral("devsim ready")));
    EXPECT_FALSE(w.view()->property("hintText").isValid()) << "gone with the first byte";
    QTest::keyClicks(w.view(), QStringLiteral("hello"));
    EXPECT_TRUE(viewContains(w, QStringLiteral("hello")));
    EXPECT_TRUE(messages.empty());
    w.close(); // and the simulated device with it
    fs::remove_all(empty);
}

TEST_F(FirstUse, DataAndStopBitsHaveLabelsAndFourDataBitsSaySo)
{
    Tfrm_Main& w = open();
    auto* stop = w.findChild<QLabel*>(QStringLiteral("lbl_stop"));
    auto* data = w.findChild<QLabel*>(QStringLiteral("lbl_data"));
    ASSERT_NE(stop, nullptr);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(stop->buddy(), w.cbo_stop);
    EXPECT_EQ(data->buddy(), w.cbo_data);
    w.cbo_data->setCurrentIndex(w.cbo_data->findText(QStringLiteral("4")));
    EXPECT_TRUE(w.Panel2->text().contains(QStringLiteral("4 data bits"))) << w.Panel2->text().toStdString();
    w.cbo_data->setCurrentIndex(w.cbo_data->findText(QStringLiteral("8")));
    EXPECT_EQ(w.Panel2->text(), QString()) << "the note goes with the choice";

    // Restored from the settings, the first entry of the list: said as well.
    w.cbo_data->setCurrentIndex(w.cbo_data->findText(QStringLiteral("4")));
    w.close();
    m_window.reset();
    Tfrm_Main& again = open();
    EXPECT_EQ(again.cbo_data->currentText(), QStringLiteral("4"));
    EXPECT_TRUE(again.Panel2->text().contains(QStringLiteral("4 data bits"))) << again.Panel2->text().toStdString();
}

TEST_F(FirstUse, MessageBoxesAreWideEnoughForTheirCaption)
{
    Tfrm_Main& w = open();
    for (const QString& text : { QStringLiteral("Done"),
                                 QStringLiteral("Cannot start the simulated device /nonexistent/merovan-devsim: "
                                                "execve: No such file or directory") }) {
        const auto box = programMessageBox(&w, text);
        box->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box.get()));
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Merovan"));
        const QFontMetrics fm(box->font());
        EXPECT_GE(box->width(), fm.horizontalAdvance(QStringLiteral("Merovan")) + 12 * fm.height()) << text.toStdString();
        // The text itself is shown whole, wrapped if need be.
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), text);
        if (label->wordWrap())
            EXPECT_GE(label->height(), label->heightForWidth(label->width())) << text.toStdString();
        else
            EXPECT_GE(label->contentsRect().width(), label->fontMetrics().horizontalAdvance(text)) << text.toStdString();
        box->close();
    }
}

TEST(WindowPlace, AKeptFrameCornerAndTheClientCornerConvertBothWays)
{
    // A title bar of 20 and borders of 1, as openbox draws them; none.
    for (const QMargins frame : { QMargins(1, 20, 1, 1), QMargins() }) {
        for (const QPoint kept : { QPoint(300, 90), QPoint(0, 0), QPoint(-40, 1200) }) {
            const QPoint client = dialog_parts::clientCorner(kept, frame);
            EXPECT_EQ(client, kept + QPoint(frame.left(), frame.top()));
            EXPECT_EQ(dialog_parts::frameCorner(client, frame), kept) << "saved as it was restored";
        }
    }
}
