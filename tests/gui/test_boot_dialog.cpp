// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window.h"
#include "dialog_fixture.h"
#include "dialogs/boot_dialog.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "support/process.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
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

class BootDialogTest : public DialogFixture<Tfrm_boot>
{
protected:
    void choose(const std::string& path) { chooseWith(&Tfrm_boot::btn_browseClick, path); }
};

} // namespace

TEST_F(BootDialogTest, DefaultsAndARoundTripOfItsSettings)
{
    open();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Application (boot) Loader"));
    EXPECT_EQ(dialog->pos(), QPoint(window->x() + 120, window->y() + 115));
    EXPECT_EQ(dialog->edt_flashsize->text(), QStringLiteral("512"));
    EXPECT_TRUE(dialog->chk_close->isChecked());
    EXPECT_FALSE(dialog->chk_allflash->isChecked());
    EXPECT_FALSE(dialog->lbl_wait->isVisible());
    EXPECT_FALSE(dialog->btn_cancelsend->isVisible());

    choose("/tmp/fw.hex");
    choose("/tmp/fw.hex");
    EXPECT_EQ(dialog->cbo_filename->count(), 2) << "the same file twice is listed twice";
    dialog->edt_flashsize->setText(QStringLiteral("256"));
    dialog->chk_close->setChecked(false);
    dialog->chk_allflash->setChecked(true);
    window->Shut_down();
    EXPECT_NE(readFile(ini).find("[BootFORM]\r\nTop="), std::string::npos);
    EXPECT_NE(readFile(ini).find("ItemIndex=1\r\nFileCount=2\r\nFileNames=/tmp/fw.hex\x7f/tmp/fw.hex\x7f\r\nFilter=0\r\n"
                                 "FlashSize=256\r\nClose=0\r\n"),
              std::string::npos)
        << readFile(ini);

    open();
    EXPECT_EQ(dialog->cbo_filename->count(), 2);
    EXPECT_EQ(dialog->cbo_filename->toolTip(), QStringLiteral("/tmp/fw.hex"));
    EXPECT_EQ(dialog->edt_flashsize->text(), QStringLiteral("256"));
    EXPECT_FALSE(dialog->chk_close->isChecked());
    EXPECT_FALSE(dialog->chk_allflash->isChecked()) << "not kept";

    dialog->SpeedButton1Click();
    window->Shut_down();
    open();
    EXPECT_EQ(dialog->cbo_filename->count(), 0);
}

TEST_F(BootDialogTest, RefusalsHideTheWaitLabelAgain)
{
    open();
    window->spb_bootClick();
    dialog->btn_send->click();
    EXPECT_EQ(messages, std::vector<QString> { QStringLiteral("No file selected") });
    EXPECT_FALSE(dialog->lbl_wait->isVisible());
    EXPECT_TRUE(dialog->isVisible());

    Devsim sim({ "--boot" });
    window->cbo_port->setEditText(QString::fromStdString(sim.port()));
    window->spd_connect->click();
    ASSERT_TRUE(port.isOpen());
    choose("/tmp/whatever.hex");
    dialog->edt_flashsize->setText(QStringLiteral("lots"));
    dialog->btn_send->click();
    EXPECT_EQ(messages.back(), QStringLiteral("Flash size must be a number of kilobytes"));
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(BootDialogTest, LoadsAHexFileThroughBothVersions)
{
    std::string hex = ":020000041D00DD\r\n";
    std::vector<std::uint8_t> flat;
    for (unsigned at = 0x8000; at < 0x8000 + 6000; at += 16) {
        char line[80];
        unsigned sum = 16 + (at >> 8 & 0xFF) + (at & 0xFF);
        std::snprintf(line, sizeof line, ":10%04X00", at);
        std::string l = line;
        for (unsigned k = 0; k < 16; ++k) {
            const unsigned b = (at + k * 3) & 0xFF;
            flat.push_back(static_cast<std::uint8_t>(b));
            char h[3];
            std::snprintf(h, sizeof h, "%02X", b);
            l += h;
            sum += b;
        }
        char cs[3];
        std::snprintf(cs, sizeof cs, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        hex += l + cs + "\r\n";
    }
    hex += ":00000001FF\r\n";
    files.push_back(tempPath("app") + ".hex");
    std::ofstream(files.back(), std::ios::binary) << hex;

    for (const char* version : { "1", "2" }) {
        const std::string record = tempPath("image");
        files.push_back(record);
        Devsim sim({ "--boot", "--boot-version", version, "--record", record });
        open();
        window->mnu_ctsClick(); // CTS wanted: back on after the load
        window->cbo_port->setEditText(QString::fromStdString(sim.port()));
        window->spd_connect->click();
        ASSERT_TRUE(port.isOpen());
        window->spb_bootClick();
        choose(files.front());
        int maximum = 0;
        QObject::connect(dialog->ProgressBar1, &QProgressBar::valueChanged,
                         [&](int) { maximum = std::max(maximum, dialog->ProgressBar1->maximum()); });
        dialog->btn_send->click();
        EXPECT_TRUE(messages.empty()) << version << ": " << messages.front().toStdString();
        EXPECT_FALSE(dialog->isVisible()) << "close on complete";
        EXPECT_TRUE(dialog->lbl_status->text().startsWith(QStringLiteral("Loaded ")))
            << dialog->lbl_status->text().toStdString();
        EXPECT_FALSE(dialog->lbl_wait->isVisible());
        EXPECT_GT(maximum, 0);
        // The image the device took: v1 loads at 0x1D008000, v2 at 0x1D000000.
        ASSERT_TRUE(merovan::test::waitForFileSize(record, 6000));
        const std::string text = readFile(record);
        const std::vector<std::uint8_t> got(text.begin(), text.end());
        const std::size_t offset = std::string(version) == "1" ? 0 : 0x8000;
        ASSERT_GE(got.size(), offset + flat.size());
        const auto mismatch = std::mismatch(flat.begin(), flat.end(), got.begin() + static_cast<std::ptrdiff_t>(offset));
        EXPECT_EQ(mismatch.first, flat.end()) << version << " differs at " << (mismatch.first - flat.begin()) << " of "
                                              << got.size();
        window->spd_connect->click();
        dialog.reset();
        window.reset();
    }
}

TEST(BootDialogFrame, EveryAttemptEndsWithOneCarriageReturn)
{
    merovan::test::FakeClock clock;
    merovan::test::FakeLineLog log;
    merovan::SerialPort port(clock, std::make_unique<merovan::test::FakeBackend>(clock, log));
    const std::string ini = tempPath("ini") + ".ini";
    Tfrm_Main window(port, ini);
    std::vector<QString> messages;
    window.setMessageHandler([&](const QString& m) { messages.push_back(m); });
    Tfrm_boot dialog(window);
    window.cbo_port->setEditText(QStringLiteral("/dev/fake"));
    window.spd_connect->click();
    ASSERT_TRUE(port.isOpen());

    // A failed attempt (no such file) and one the device never answers.
    dialog.cbo_filename->setEditText(QStringLiteral("/nonexistent/app.hex"));
    dialog.btn_send->click();
    ASSERT_EQ(log.written, std::vector<std::uint8_t> { 13 });
    const std::string file = tempPath("app") + ".bin";
    std::ofstream(file, std::ios::binary) << std::string(100, 'x');
    dialog.cbo_filename->setEditText(QString::fromStdString(file));
    log.written.clear();
    dialog.btn_send->click();
    EXPECT_EQ(messages, (std::vector<QString> { QStringLiteral("Cant open file"), QStringLiteral("Can't start loader") }));
    ASSERT_FALSE(log.written.empty());
    EXPECT_EQ(log.written.front(), '\\') << "the wake-up comes first";
    EXPECT_EQ(log.written.back(), 13);
    EXPECT_EQ(std::count(log.written.begin(), log.written.end(), 13), 1);
    std::filesystem::remove(file);
    std::filesystem::remove(ini);
}
