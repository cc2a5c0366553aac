// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window.h"
#include "dialog_fixture.h"
#include "app/terminal_view.h"
#include "dialogs/text_dialog.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/process.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
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

class TextDialogTest : public DialogFixture<Tfrm_text>
{
protected:
    void choose(const std::string& path) { chooseWith(&Tfrm_text::btn_browesClick, path); }

    std::string textFile(const std::string& content)
    {
        const std::string path = scratch("text") + ".bas";
        files.push_back(path);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
};

} // namespace

TEST_F(TextDialogTest, DefaultsAndARoundTripOfItsSettings)
{
    open();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Text Transfer"));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->y(), window->y() + 25);
    EXPECT_EQ(dialog->x(), window->x() + 120);
    EXPECT_TRUE(dialog->chk_close->isChecked());
    EXPECT_TRUE(dialog->chk_eol->isChecked());
    EXPECT_FALSE(dialog->chk_err->isChecked());
    EXPECT_FALSE(dialog->chk_delay->isChecked());
    EXPECT_FALSE(dialog->chk_send->isChecked());
    EXPECT_EQ(dialog->edt_eol->text(), QStringLiteral("6"));
    EXPECT_EQ(dialog->edt_err->text(), QStringLiteral("5"));
    EXPECT_EQ(dialog->edt_delay->text(), QStringLiteral("100"));
    EXPECT_EQ(dialog->cbo_filename->count(), 0);
    EXPECT_FALSE(dialog->btn_cancel->isVisible());

    choose("/tmp/a.bas");
    choose("/tmp/b.bas");
    choose("/tmp/a.bas");
    dialog->setFileChooser([](int&) { return QString(); }); // a cancelled browse changes nothing
    dialog->btn_browesClick();
    EXPECT_EQ(dialog->cbo_filename->count(), 3);
    dialog->cbo_filename->setCurrentIndex(1);
    EXPECT_EQ(dialog->cbo_filename->toolTip(), QStringLiteral("/tmp/b.bas"));
    dialog->cbo_send->setEditText(QStringLiteral("RUN\\r"));
    dialog->cbo_sendKeyDown(Qt::Key_Return);
    dialog->chk_send->setChecked(true);
    dialog->chk_close->setChecked(false);
    dialog->chk_err->setChecked(true);
    dialog->edt_eol->setText(QStringLiteral("7"));
    dialog->move(300, 200);
    window->Shut_down();

    const std::string text = readFile(ini);
    EXPECT_NE(text.find("[TransferFORM]\r\nTop=200\r\nLeft=300\r\nClose=0\r\nEol=1\r\nErr=1\r\nDelay=0\r\n"
                        "ItemIndex=1\r\nFileCount=3\r\nFileNames=/tmp/a.bas\x7f/tmp/b.bas\x7f/tmp/a.bas\x7f\r\n"
                        "Filter=0\r\nSendItemIndex=0\r\nSendCount=1\r\nSendText=RUN\\r\x7f\r\nSendChecked=1\r\n"),
              std::string::npos)
        << text;

    open();
    EXPECT_EQ(dialog->cbo_filename->count(), 3);
    EXPECT_EQ(dialog->cbo_filename->currentText(), QStringLiteral("/tmp/b.bas"));
    EXPECT_EQ(dialog->cbo_filename->toolTip(), QStringLiteral("/tmp/b.bas"));
    EXPECT_EQ(dialog->cbo_send->currentText(), QStringLiteral("RUN\\r"));
    EXPECT_TRUE(dialog->chk_send->isChecked());
    EXPECT_FALSE(dialog->chk_close->isChecked());
    EXPECT_TRUE(dialog->chk_err->isChecked());
    EXPECT_EQ(dialog->edt_eol->text(), QStringLiteral("6")) << "the fields are not kept";
    EXPECT_EQ(dialog->pos(), QPoint(300, 200));
}

TEST_F(TextDialogTest, EnterAddsTheShownTextToTheSendList)
{
    open();
    dialog->show();
    QTest::keyClick(dialog->cbo_send->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(dialog->cbo_send->count(), 0);
    EXPECT_EQ(dialog->Panel2->text(), QStringLiteral("Item added: "));
    QTest::keyClicks(dialog->cbo_send->lineEdit(), QStringLiteral("ATZ"));
    QTest::keyClick(dialog->cbo_send->lineEdit(), Qt::Key_Return);
    QTest::keyClick(dialog->cbo_send->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(dialog->cbo_send->count(), 2) << "the same text twice is listed twice";
    EXPECT_EQ(dialog->cbo_send->currentIndex(), 1);
    EXPECT_EQ(dialog->Panel2->text(), QStringLiteral("Item added: ATZ"));
    dialog->spd_clrtextClick();
    EXPECT_EQ(dialog->cbo_send->count(), 0);
    EXPECT_EQ(dialog->cbo_send->currentText(), QString());
    EXPECT_TRUE(messages.empty());
}

TEST_F(TextDialogTest, RefusalsLeaveTheDialogShown)
{
    open();
    window->spd_settingsClick();
    ASSERT_TRUE(dialog->isVisible());
    dialog->btn_send->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("No file selected"));
    choose(textFile("10 END\r\n"));
    dialog->btn_send->click();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1], QStringLiteral("COM port not open"));
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(window->receiving());
}

TEST_F(TextDialogTest, CloseOnTransferEndLeavesItShownAfterAFailure)
{
    Devsim sim({ "--no-echo" });
    open();
    connectTo(sim.port());
    window->spd_settingsClick();
    dialog->cbo_filename->setEditText(QStringLiteral("/nonexistent/file.bas"));
    dialog->btn_send->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Cant open file"));
    // It stays, so a wrong path can be mended; its status line says why.
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(window->dialogFlag(Tfrm_Main::Dialog::Text));
    EXPECT_EQ(dialog->Panel2->text(), QStringLiteral("Cant open file: /nonexistent/file.bas: No such file or directory"));
    EXPECT_TRUE(window->receiving());
    EXPECT_TRUE(dialog->btn_send->isEnabled());
}

TEST_F(TextDialogTest, WhatTheDeviceSaidDuringTheTransferIsShownBeforeTheVerdict)
{
    Devsim sim({ "--ack", "6", "--error", "5", "--error-on", "BAD", "--no-greeting" });
    open();
    connectTo(sim.port());
    QString viewAtMessage;
    window->setMessageHandler([&](const QString& m) {
        messages.push_back(m);
        viewAtMessage = window->view()->text();
    });
    choose(textFile("10 PRINT 1\r\n20 BAD\r\n30 END\r\n"));
    dialog->edt_eol->setText(QStringLiteral("6"));
    dialog->edt_err->setText(QStringLiteral("5"));
    dialog->chk_err->setChecked(true);
    dialog->chk_eol->setChecked(true);
    window->spd_settingsClick();
    dialog->btn_send->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Transfer canceled by target error"));
    // The echo of the first line, not its acknowledge byte [06].
    EXPECT_TRUE(viewAtMessage.startsWith(QStringLiteral("10 PRINT 1\n"))) << viewAtMessage.toStdString();
    EXPECT_FALSE(viewAtMessage.contains(QStringLiteral("[06]"))) << viewAtMessage.toStdString();

    // A file that does not open: the message stays as it is, the bottom
    // panel says why.
    messages.clear();
    window->spd_settingsClick();
    dialog->cbo_filename->setEditText(QStringLiteral("/nonexistent/file.bas"));
    dialog->btn_send->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Cant open file"));
    EXPECT_EQ(window->Panel2->text(), QStringLiteral("/nonexistent/file.bas: No such file or directory"));
}

TEST_F(TextDialogTest, AFileArrivesCompleteWithAPacingValueKeptInOneByte)
{
    const std::string record = tempPath("record");
    files.push_back(record);
    // 300 in the field is 44 on the wire.
    Devsim sim({ "--record", record, "--ack", "44", "--no-echo", "--no-greeting" });
    open();
    connectTo(sim.port());
    std::string content;
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        content += "line " + std::to_string(i) + "\n";
        expected += "line " + std::to_string(i) + "\r";
    }
    choose(textFile(content));
    dialog->edt_eol->setText(QStringLiteral(" 300"));
    dialog->chk_close->setChecked(false);
    int movedTo = 0;
    QObject::connect(dialog->ProgressBar1, &QProgressBar::valueChanged, [&](int v) { movedTo = std::max(movedTo, v); });
    window->spd_settingsClick();
    dialog->btn_send->click();
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
    EXPECT_EQ(movedTo, static_cast<int>(content.size())) << "the bar went to the end";
    EXPECT_EQ(dialog->ProgressBar1->value(), 0);
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_TRUE(merovan::test::waitForFileSize(record, expected.size() + 1));
    EXPECT_EQ(readFile(record), expected + "\r");
}

TEST_F(TextDialogTest, CancelStopsTheTransfer)
{
    const std::string record = tempPath("record");
    files.push_back(record);
    Devsim sim({ "--record", record, "--ack", "6", "--no-echo", "--no-greeting", "--rate", "9600" });
    open();
    connectTo(sim.port());
    std::string content;
    for (int i = 0; i < 500; ++i)
        content += "a line of some length to take a while " + std::to_string(i) + "\n";
    choose(textFile(content));
    window->spd_settingsClick();
    bool otherSendDisabled = false;
    QTimer::singleShot(300, [&] {
        EXPECT_TRUE(dialog->btn_cancel->isVisible());
        otherSendDisabled = !dialog->btn_send->isEnabled();
        dialog->btn_cancel->click();
    });
    dialog->btn_send->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Transfer canceled"));
    EXPECT_TRUE(otherSendDisabled);
    EXPECT_FALSE(dialog->btn_cancel->isVisible());
    QTest::qWait(100);
    EXPECT_LT(fs::file_size(record), content.size());
}
