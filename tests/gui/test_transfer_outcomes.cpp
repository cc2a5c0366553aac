// SPDX-License-Identifier: GPL-3.0-or-later
// What the transfer dialogs say about how a transfer ended: their own
// status line names a success as the command line does, and a failure with
// its detail; a folder is no file in any of them; an empty file leaves no
// busy bar; HEX data outside the flash is said in the window.

#include "app/main_window.h"
#include "dialog_fixture.h"
#include "dialogs/binary_dialog.h"
#include "dialogs/boot_dialog.h"
#include "dialogs/text_dialog.h"
#include "serial/serial_port.h"
#include "support/hex_builder.h"
#include "support/process.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using merovan::test::Devsim;

namespace {

class TextOutcome : public DialogFixture<Tfrm_text>
{
};
class BinaryOutcome : public DialogFixture<Tfrm_bin>
{
};
class BootOutcome : public DialogFixture<Tfrm_boot>
{
};

std::string folderPath(std::vector<std::string>& files)
{
    files.push_back(merovan::test::tempPath("folder"));
    std::filesystem::create_directories(files.back());
    return files.back();
}

const QRegularExpression kSent(QStringLiteral("^Sent [0-9,]+ bytes in [0-9]+\\.[0-9]{2} s$"));

} // namespace

TEST_F(TextOutcome, TheStatusLineSaysWhatWasSentOrWhatWentWrong)
{
    Devsim sim({ "--no-echo", "--no-greeting" });
    open();
    connectTo(sim.port());
    window->spd_settingsClick();
    dialog->chk_close->setChecked(true);
    dialog->chk_eol->setChecked(false);
    dialog->chk_err->setChecked(false);

    const std::string folder = folderPath(files);
    dialog->cbo_filename->setEditText(QString::fromStdString(folder));
    dialog->btn_send->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Cant open file"));
    EXPECT_EQ(dialog->Panel2->text(), QString::fromStdString("Cant open file: " + folder + ": Is a directory"));
    EXPECT_TRUE(dialog->isVisible()) << "a failure leaves the dialog, close box or not";

    const std::string file = scratch("prog") + ".bas";
    std::ofstream(file, std::ios::binary) << "10 PRINT 1\r\n";
    dialog->cbo_filename->setEditText(QString::fromStdString(file));
    messages.clear();
    dialog->btn_send->click();
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(kSent.match(dialog->Panel2->text()).hasMatch()) << dialog->Panel2->text().toStdString();
    EXPECT_TRUE(dialog->Panel2->text().startsWith(QStringLiteral("Sent 11 bytes"))) << "the line and its CR";
    EXPECT_FALSE(dialog->isVisible()) << "a success closes it";
}

TEST_F(BinaryOutcome, AFolderIsNoFileAndAnEmptyFileLeavesNoBusyBar)
{
    Devsim sim({ "--no-echo", "--no-greeting" });
    open();
    connectTo(sim.port());
    window->spd_binaryClick();
    dialog->chk_close->setChecked(false);
    const std::string folder = folderPath(files);
    dialog->cbo_filename->setEditText(QString::fromStdString(folder));
    for (QCheckBox* mode : { static_cast<QCheckBox*>(nullptr), dialog->chk_translate, dialog->chk_font }) {
        SCOPED_TRACE(mode ? mode->objectName().toStdString() : "binary");
        dialog->chk_translate->setChecked(mode == dialog->chk_translate);
        dialog->chk_font->setChecked(mode == dialog->chk_font);
        messages.clear();
        dialog->btn_send->click();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], QStringLiteral("Cant open file"));
        EXPECT_EQ(dialog->Panel1->text(), QString::fromStdString("Cant open file: " + folder + ": Is a directory"));
    }

    dialog->chk_translate->setChecked(false);
    dialog->chk_font->setChecked(false);
    const std::string empty = scratch("empty") + ".bin";
    std::ofstream(empty, std::ios::binary).flush();
    dialog->cbo_filename->setEditText(QString::fromStdString(empty));
    messages.clear();
    dialog->btn_send->click();
    EXPECT_TRUE(messages.empty());
    EXPECT_GT(dialog->ProgressBar1->maximum(), dialog->ProgressBar1->minimum()) << "not a busy bar";
    EXPECT_TRUE(kSent.match(dialog->Panel1->text()).hasMatch()) << dialog->Panel1->text().toStdString();
}

TEST_F(BootOutcome, FoldersEmptyImagesAndDataOutsideTheFlashAreSaidInTheDialog)
{
    Devsim sim({ "--boot" });
    open();
    connectTo(sim.port());
    window->spb_bootClick();
    dialog->chk_close->setChecked(false);

    const std::string folder = folderPath(files);
    const std::string empty = scratch("empty") + ".bin";
    std::ofstream(empty, std::ios::binary).flush();
    const struct {
        std::string file;
        QString message;
        std::string status;
    } refusals[] = {
        { folder, QStringLiteral("Cant open file"), "Cant open file: " + folder + ": Is a directory" },
        { empty, QStringLiteral("Cant open file"), "Cant open file: " + empty + ": the file is empty" },
    };
    for (const auto& row : refusals) {
        messages.clear();
        dialog->cbo_filename->setEditText(QString::fromStdString(row.file));
        dialog->btn_send->click();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], row.message);
        EXPECT_EQ(dialog->lbl_status->text(), QString::fromStdString(row.status));
    }

    std::vector<std::uint8_t> program(1500, 0x11);
    std::string hex = merovan::test::makeHex(program, 0x1D000000);
    hex.erase(hex.rfind(":00000001FF"));
    hex += merovan::test::makeHex(std::vector<std::uint8_t>(16, 0x5A), 0x1FC02FF0);
    const std::string file = scratch("app") + ".hex";
    std::ofstream(file, std::ios::binary) << hex;
    messages.clear();
    dialog->cbo_filename->setEditText(QString::fromStdString(file));
    dialog->btn_send->click();
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
    EXPECT_EQ(dialog->lbl_status->text(), QStringLiteral("Loaded 1,501 bytes; 16 bytes at 0x1FC02FF0\u2013"
                                                         "0x1FC02FFF lie outside the flash window and were not sent"));
}
