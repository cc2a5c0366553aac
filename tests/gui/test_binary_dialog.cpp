// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window.h"
#include "dialog_fixture.h"
#include "dialogs/binary_dialog.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/bmp_builder.h"
#include "support/fake_backend.h"
#include "support/process.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::tempPath;

namespace fs = std::filesystem;

namespace {

class BinaryDialogTest : public DialogFixture<Tfrm_bin>
{
protected:
    void choose(const std::string& path) { chooseWith(&Tfrm_bin::btn_browseClick, path); }
};

} // namespace

TEST_F(BinaryDialogTest, DefaultsAndTheCtsWarning)
{
    open();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Binary Transfer"));
    EXPECT_EQ(dialog->pos(), QPoint(window->x() + 120, window->y() + 115));
    EXPECT_TRUE(dialog->chk_close->isChecked());
    EXPECT_FALSE(dialog->chk_translate->isChecked());
    EXPECT_FALSE(dialog->chk_font->isChecked());
    EXPECT_FALSE(dialog->chk_createfile->isChecked());
    EXPECT_FALSE(dialog->chk_send->isChecked());
    EXPECT_FALSE(dialog->cbo_send->isEnabled());
    EXPECT_EQ(dialog->btn_send->text(), QStringLiteral("Send"));
    EXPECT_EQ(dialog->Panel1->text(), QStringLiteral("Warning: CTS is not checked"));
    window->mnu_ctsClick();
    EXPECT_EQ(dialog->Panel1->text(), QString());
    window->mnu_ctsClick();
    EXPECT_EQ(dialog->Panel1->text(), QStringLiteral("Warning: CTS is not checked"));
    EXPECT_TRUE(messages.empty());
}

TEST_F(BinaryDialogTest, TheOptionRules)
{
    open();
    dialog->chk_translate->setChecked(true);
    dialog->chk_font->setChecked(true);
    EXPECT_FALSE(dialog->chk_translate->isChecked()) << "the conversions exclude each other";
    dialog->chk_translate->setChecked(true);
    EXPECT_FALSE(dialog->chk_font->isChecked());

    dialog->chk_translate->setChecked(false);
    dialog->chk_createfile->setChecked(true);
    EXPECT_EQ(messages, std::vector<QString> { QStringLiteral("BMC or Font must be checked") });
    EXPECT_FALSE(dialog->chk_createfile->isChecked());
    EXPECT_EQ(dialog->btn_send->text(), QStringLiteral("Send"));

    dialog->chk_font->setChecked(true);
    dialog->chk_send->setChecked(true);
    dialog->chk_createfile->setChecked(true);
    EXPECT_FALSE(dialog->chk_send->isChecked());
    EXPECT_EQ(dialog->btn_send->text(), QStringLiteral("Create"));
    dialog->chk_font->setChecked(false);
    EXPECT_FALSE(dialog->chk_createfile->isChecked());
    EXPECT_EQ(dialog->btn_send->text(), QStringLiteral("Send"));

    // The send list: enabled by the option, never disabled again by it.
    EXPECT_TRUE(dialog->cbo_send->isEnabled());
    dialog->chk_send->setChecked(false);
    EXPECT_TRUE(dialog->cbo_send->isEnabled());

    dialog->cbo_send->setEditText(QString());
    dialog->cbo_sendKeyDown(Qt::Key_Return);
    EXPECT_EQ(dialog->Panel1->text(), QStringLiteral("Item added: "));
    EXPECT_EQ(dialog->cbo_send->count(), 0);
    dialog->cbo_send->setEditText(QStringLiteral("GO"));
    dialog->cbo_sendKeyDown(Qt::Key_Return);
    dialog->cbo_sendKeyDown(Qt::Key_Return);
    EXPECT_EQ(dialog->cbo_send->count(), 2);
    EXPECT_EQ(dialog->Panel1->text(), QStringLiteral("Item added: GO"));

    choose("/tmp/a.bin");
    choose("/tmp/a.bin");
    EXPECT_EQ(dialog->cbo_filename->count(), 2);
    EXPECT_EQ(dialog->cbo_filename->toolTip(), QStringLiteral("/tmp/a.bin"));
}

TEST_F(BinaryDialogTest, SettingsRoundTripAndCreateWithoutAConversion)
{
    open();
    dialog->chk_font->setChecked(true);
    dialog->chk_createfile->setChecked(true);
    dialog->chk_close->setChecked(false);
    choose("/tmp/f.bff");
    window->Shut_down();
    EXPECT_NE(readFile(ini).find("Close=0\r\nTranslate=0\r\nHead=1\r\nSendIndex=-1\r\nSendCount=0\r\nSendText=\r\n"
                                 "Send=0\r\nCreate=1\r\n"),
              std::string::npos)
        << readFile(ini);
    open();
    EXPECT_TRUE(dialog->chk_font->isChecked());
    EXPECT_TRUE(dialog->chk_createfile->isChecked());
    EXPECT_EQ(dialog->btn_send->text(), QStringLiteral("Create"));
    EXPECT_FALSE(dialog->chk_close->isChecked());
    EXPECT_TRUE(messages.empty());

    // Create on with neither conversion: refused while the dialog is made.
    std::string text = readFile(ini);
    text.replace(text.find("Head=1"), 6, "Head=0");
    std::ofstream(ini, std::ios::binary) << text;
    open();
    EXPECT_EQ(messages, std::vector<QString> { QStringLiteral("BMC or Font must be checked") });
    EXPECT_FALSE(dialog->chk_createfile->isChecked());
    EXPECT_EQ(dialog->btn_send->text(), QStringLiteral("Send"));
}

TEST_F(BinaryDialogTest, APictureAndAFontReachTheDevice)
{
    const std::string record = tempPath("record");
    files.push_back(record);
    Devsim sim({ "--record", record, "--no-echo", "--no-greeting" });
    open();
    window->cbo_port->setEditText(QString::fromStdString(sim.port()));
    window->spd_connect->click();
    ASSERT_TRUE(port.isOpen());

    const std::string picture = tempPath("pic") + ".bmp";
    files.push_back(picture);
    const auto bmp = merovan::test::makeBmp24(3, 2, [](std::uint32_t x, std::uint32_t y) {
        return std::array<std::uint8_t, 3> { static_cast<std::uint8_t>(x * 40), static_cast<std::uint8_t>(y * 100), 255 };
    });
    std::ofstream(picture, std::ios::binary).write(reinterpret_cast<const char*>(bmp.data()),
                                                   static_cast<std::streamsize>(bmp.size()));
    window->spd_binaryClick();
    dialog->chk_close->setChecked(false);
    dialog->chk_translate->setChecked(true);
    choose(picture);
    dialog->btn_send->click();
    EXPECT_TRUE(messages.empty());
    const std::string expectedPicture = std::string("\x00\x02\x00\x03", 4) + std::string("\x00\x00\x3f\x0a\x00\x3f\x14\x00\x3f"
                                                                                          "\x00\x19\x3f\x0a\x19\x3f\x14\x19\x3f",
                                                                                          18)
        + "\r";
    ASSERT_TRUE(merovan::test::waitForFileSize(record, expectedPicture.size()));
    EXPECT_EQ(readFile(record), expectedPicture);

    // A real sample font, sent, then written beside itself.
    const std::string font = tempPath("font") + ".bff";
    files.push_back(font);
    fs::copy_file(MEROVAN_TEST_DATA "/fonts/RicoTech_bin_font_courier_new.bff", font);
    dialog->chk_font->setChecked(true);
    choose(font);
    dialog->btn_send->click();
    EXPECT_TRUE(messages.empty());
    // 11 header bytes, T = 1746 + 36 = 1782 going out as 9 blocks of 200, then the CR.
    const std::size_t fontBytes = 11 + 1800 + 1;
    ASSERT_TRUE(merovan::test::waitForFileSize(record, expectedPicture.size() + fontBytes));
    const std::string all = readFile(record);
    EXPECT_EQ(all.size(), expectedPicture.size() + fontBytes);
    EXPECT_EQ(all.substr(expectedPicture.size(), 2), std::string("\x06\xd2", 2)) << "N, high byte first";

    dialog->chk_createfile->setChecked(true);
    dialog->btn_send->click();
    EXPECT_TRUE(messages.empty());
    const std::string bf = font.substr(0, font.size() - 4) + ".bf";
    files.push_back(bf);
    ASSERT_TRUE(fs::exists(bf));
    EXPECT_EQ(fs::file_size(bf), 11u + 1782u);
    EXPECT_EQ(dialog->Panel1->text(), QStringLiteral("Written to ") + QString::fromStdString(bf));
    EXPECT_EQ(readFile(bf), all.substr(expectedPicture.size(), 11 + 1782));
}

TEST_F(BinaryDialogTest, RefusalsAndCreatingWithoutAPort)
{
    open();
    window->spd_binaryClick();
    dialog->btn_send->click();
    EXPECT_EQ(messages, std::vector<QString> { QStringLiteral("No file selected") });
    choose("/tmp/x.bin");
    dialog->btn_send->click();
    EXPECT_EQ(messages.back(), QStringLiteral("COM port not open"));
    EXPECT_TRUE(dialog->isVisible());

    // With "Creates file" the port is not needed.
    dialog->chk_font->setChecked(true);
    dialog->chk_createfile->setChecked(true);
    dialog->cbo_filename->setEditText(QStringLiteral("/nonexistent/f.bff"));
    dialog->btn_send->click();
    EXPECT_EQ(messages.back(), QStringLiteral("Cant open file"));
    EXPECT_TRUE(dialog->isVisible()) << "after a failure it stays, so the path can be mended";
    EXPECT_EQ(dialog->Panel1->text(), QStringLiteral("Cant open file: /nonexistent/f.bff: No such file or directory"));
}

TEST(BinaryDialogCts, AFailedWriteSwitchesCtsOffBeforeTheMessageAndOnAfter)
{
    merovan::test::FakeClock clock;
    merovan::test::FakeLineLog log;
    auto backend = std::make_unique<merovan::test::FakeBackend>(clock, log);
    merovan::test::FakeBackend* fake = backend.get();
    merovan::SerialPort port(clock, std::move(backend));
    const std::string ini = tempPath("ini") + ".ini";
    Tfrm_Main window(port, ini);
    std::vector<std::pair<QString, bool>> messages; // with the CTS state at that moment
    window.setMessageHandler([&](const QString& m) { messages.emplace_back(m, log.applied.back().hardwareFlow); });
    Tfrm_bin dialog(window);
    window.mnu_ctsClick();
    window.cbo_port->setEditText(QStringLiteral("/dev/fake"));
    window.spd_connect->click();
    ASSERT_TRUE(port.isOpen());
    EXPECT_TRUE(log.applied.back().hardwareFlow);

    const std::string file = tempPath("data") + ".bin";
    std::ofstream(file, std::ios::binary) << std::string(5000, 'x');
    dialog.cbo_filename->setEditText(QString::fromStdString(file));
    fake->writeError = EIO + 1000; // a driver error that leaves the device in place
    dialog.btn_send->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, QStringLiteral("Timeout waiting for ACK"));
    EXPECT_FALSE(messages[0].second) << "CTS flow control off before the message";
    EXPECT_TRUE(log.applied.back().hardwareFlow) << "and on again after, as the menu asks";
    fs::remove(file);
    fs::remove(ini);
}

TEST(BinaryDialogCreate, CreatingAFileSendsNothingToThePortNotEvenTheSendFirstText)
{
    merovan::test::FakeClock clock;
    merovan::test::FakeLineLog log;
    merovan::SerialPort port(clock, std::make_unique<merovan::test::FakeBackend>(clock, log));
    const fs::path dir = tempPath("create");
    fs::create_directories(dir);
    const fs::path previous = fs::current_path();
    fs::current_path(dir); // the picture's header file goes to the current folder
    const std::string ini = (dir / "Merovan.ini").string();
    {
        Tfrm_Main window(port, ini);
        std::vector<QString> messages;
        window.setMessageHandler([&](const QString& m) { messages.push_back(m); });
        Tfrm_bin dialog(window);
        window.cbo_port->setEditText(QStringLiteral("/dev/fake"));
        window.spd_connect->click();
        ASSERT_TRUE(port.isOpen());

        const std::string picture = (dir / "p.bmp").string();
        const auto bmp = merovan::test::makeBmp24(2, 2, [](std::uint32_t, std::uint32_t) {
            return std::array<std::uint8_t, 3> { 255, 255, 255 };
        });
        std::ofstream(picture, std::ios::binary).write(reinterpret_cast<const char*>(bmp.data()),
                                                       static_cast<std::streamsize>(bmp.size()));
        const std::string font = (dir / "f.bff").string();
        fs::copy_file(MEROVAN_TEST_DATA "/fonts/RicoTech_bin_font_courier_new.bff", font);

        dialog.chk_close->setChecked(false);
        for (const auto& [translate, file, written] :
             { std::tuple { true, picture, (dir / "bmpHead.h").string() },
               std::tuple { false, font, (dir / "f.bf").string() } }) {
            (translate ? dialog.chk_translate : dialog.chk_font)->setChecked(true);
            dialog.chk_createfile->setChecked(true);
            // "Send first" ticked again after "Creates file" cleared it.
            dialog.chk_send->setChecked(true);
            dialog.cbo_send->setEditText(QStringLiteral("HELLO\\r"));
            dialog.cbo_filename->setEditText(QString::fromStdString(file));
            log.writes.clear();
            dialog.btn_send->click();
            EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
            EXPECT_TRUE(fs::exists(written)) << written;
            EXPECT_EQ(dialog.Panel1->text(), QStringLiteral("Written to ") + QString::fromStdString(written));
            EXPECT_TRUE(log.writes.empty()) << "nothing goes to the port, not even the closing CR";
        }

        // Unticked, the same picture is sent, "Send first" and CR included.
        dialog.chk_translate->setChecked(true);
        dialog.chk_send->setChecked(true);
        dialog.cbo_send->setEditText(QStringLiteral("HI"));
        dialog.cbo_filename->setEditText(QString::fromStdString(picture));
        log.writes.clear();
        dialog.btn_send->click();
        std::string sent;
        for (const auto& w : log.writes)
            sent.append(w.begin(), w.end());
        EXPECT_EQ(sent.substr(0, 2), "HI");
        EXPECT_EQ(sent.size(), 2u + 4u + 12u + 1u);
        EXPECT_EQ(sent.back(), '\r');
    }
    fs::current_path(previous);
    fs::remove_all(dir);
}
