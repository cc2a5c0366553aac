// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window.h"
#include "app/terminal_view.h"
#include "dialog_fixture.h"
#include "dialogs/file_transfer_dialog.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using merovan::FileProgressCallback;
using merovan::FileTransferOutcome;
using merovan::FileTransferProgress;
using merovan::SerialPort;
using merovan::test::PtyPair;

namespace {

using Choice = FileTransferDialog::Choice;

class FileTransferDialogTest : public DialogFixture<FileTransferDialog>
{
protected:
    static bool viewContains(Tfrm_Main& w, const QString& text, int timeoutMs = 3000)
    {
        return QTest::qWaitFor([&] { return w.view()->text().contains(text); }, timeoutMs);
    }

    // What the device side of the pty gets within timeoutMs.
    static std::string deviceReads(PtyPair& pty, std::size_t count, int timeoutMs = 2000)
    {
        const auto got = pty.receive(count, timeoutMs);
        return std::string(got.begin(), got.end());
    }
};

// The start a ZMODEM sender (sz) puts on the line: "rz\r", then ZRQINIT.
const std::vector<unsigned char> kZmodemStart = { 'r', 'z', '\r', '*', '*', 0x18, 'B', '0', '0', '0', '0', '0', '0',
    '0', '0', '0', '0', '0', '0', '0', '0', '\r', 0x8A, 0x11 };

} // namespace

TEST_F(FileTransferDialogTest, TheTransferMenuWithItsProtocolsAndSettings)
{
    open();
    // Between the window's own menus and Help.
    const QList<QAction*> bar = window->menuBar()->actions();
    ASSERT_GE(bar.size(), 2);
    EXPECT_EQ(bar[bar.size() - 2]->menu(), dialog->mnu_transfer);
    EXPECT_EQ(bar.back()->text(), QStringLiteral("&Help"));
    EXPECT_EQ(dialog->mnu_transfer->title(), QStringLiteral("&Transfer"));
    EXPECT_EQ(dialog->mnu_sendFile->text(), QStringLiteral("&Send file..."));
    EXPECT_EQ(dialog->mnu_receiveFiles->text(), QStringLiteral("&Receive files..."));
    EXPECT_EQ(window->findChild<QAction*>(QStringLiteral("mnu_sendFile")), dialog->mnu_sendFile);

    // A first start: ZMODEM, with the offer to receive on.
    EXPECT_EQ(dialog->choice(), Choice::Zmodem);
    EXPECT_TRUE(dialog->mnu_zmodem->isChecked());
    EXPECT_TRUE(dialog->mnu_zmodemAuto->isChecked());
    EXPECT_FALSE(dialog->mnu_zmodemResume->isChecked());
    EXPECT_FALSE(dialog->mnu_xmodemStrip->isChecked());
    EXPECT_TRUE(dialog->grp_protocol->isExclusive());

    // Each choice as the core gets it.
    struct Row
    {
        QAction* item;
        Choice choice;
        merovan::FileProtocol protocol;
        bool oneK;
        bool checksum;
    };
    const Row rows[] = {
        { dialog->mnu_xmodemChecksum, Choice::XmodemChecksum, merovan::FileProtocol::Xmodem, false, true },
        { dialog->mnu_xmodemCrc, Choice::XmodemCrc, merovan::FileProtocol::Xmodem, false, false },
        { dialog->mnu_xmodem1k, Choice::Xmodem1k, merovan::FileProtocol::Xmodem, true, false },
        { dialog->mnu_ymodem, Choice::Ymodem, merovan::FileProtocol::Ymodem, true, false },
        { dialog->mnu_zmodem, Choice::Zmodem, merovan::FileProtocol::Zmodem, false, false },
    };
    for (const Row& row : rows) {
        row.item->trigger();
        EXPECT_EQ(dialog->choice(), row.choice) << row.item->text().toStdString();
        const merovan::FileTransferOptions o = dialog->options();
        EXPECT_EQ(o.protocol, row.protocol) << row.item->text().toStdString();
        EXPECT_EQ(o.oneK, row.oneK) << row.item->text().toStdString();
        EXPECT_EQ(o.checksum, row.checksum) << row.item->text().toStdString();
        int checked = 0;
        for (const Row& other : rows)
            checked += other.item->isChecked() ? 1 : 0;
        EXPECT_EQ(checked, 1);
    }
    dialog->mnu_zmodemResume->trigger();
    dialog->mnu_xmodemStrip->trigger();
    EXPECT_TRUE(dialog->options().resume);
    EXPECT_TRUE(dialog->options().stripPadding);

    // Remembered in the settings file with the folder.
    dialog->mnu_xmodem1k->trigger();
    dialog->mnu_zmodemAuto->trigger();
    dialog->setReceiveFolder(QStringLiteral("/tmp/incoming"));
    window->close();
    EXPECT_NE(merovan::test::readFile(ini).find("[FileTransfer]\r\nProtocol=2\r\n"), std::string::npos)
        << merovan::test::readFile(ini);
    open();
    EXPECT_EQ(dialog->choice(), Choice::Xmodem1k);
    EXPECT_TRUE(dialog->mnu_zmodemResume->isChecked());
    EXPECT_TRUE(dialog->mnu_xmodemStrip->isChecked());
    EXPECT_FALSE(dialog->mnu_zmodemAuto->isChecked());
    EXPECT_EQ(dialog->receiveFolder(), QStringLiteral("/tmp/incoming"));
}

TEST_F(FileTransferDialogTest, NothingStartsWithoutAPortOrAChoice)
{
    open();
    int asked = 0;
    dialog->setSendChooser([&](bool, const QString&) {
        ++asked;
        return QStringList();
    });
    dialog->setFolderChooser([&](const QString&) {
        ++asked;
        return QString();
    });
    dialog->setSaveChooser([&](const QString&) {
        ++asked;
        return QString();
    });
    dialog->mnu_sendFile->trigger();
    dialog->mnu_receiveFiles->trigger();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], QStringLiteral("COM port not open"));
    EXPECT_EQ(messages[1], QStringLiteral("COM port not open"));
    EXPECT_EQ(asked, 0);

    // A chooser given up is no transfer: no message, the device hears nothing.
    PtyPair pty;
    connectTo(pty.slavePath());
    messages.clear();
    bool several = false;
    dialog->setSendChooser([&](bool s, const QString&) {
        several = s;
        ++asked;
        return QStringList();
    });
    for (QAction* protocol : { dialog->mnu_xmodemCrc, dialog->mnu_ymodem, dialog->mnu_zmodem }) {
        protocol->trigger();
        dialog->mnu_sendFile->trigger();
        EXPECT_EQ(several, protocol != dialog->mnu_xmodemCrc) << "XMODEM sends one file";
        dialog->mnu_receiveFiles->trigger();
    }
    EXPECT_EQ(asked, 6);
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(deviceReads(pty, 1, 200), std::string());
}

TEST_F(FileTransferDialogTest, TheProgressDialogShowsFileBytesRateTimeLeftAndRetries)
{
    open();
    FileTransferProgress p;
    dialog->showProgress(p);
    EXPECT_EQ(dialog->lbl_xferFile->text(), QStringLiteral("Waiting for the other side"));
    p.fileName = "a.bin";
    p.fileIndex = 0;
    p.fileCount = 2;
    p.bytes = 2048;
    p.total = 8192;
    p.retries = 1;
    p.elapsedMs = 1000;
    dialog->showProgress(p);
    EXPECT_EQ(dialog->lbl_xferFile->text(), QStringLiteral("a.bin (1 of 2)"));
    EXPECT_EQ(dialog->lbl_xferBytes->text(), QStringLiteral("2,048 of 8,192"));
    EXPECT_EQ(dialog->lbl_xferRate->text(), QStringLiteral("2,048 bytes/s"));
    EXPECT_EQ(dialog->lbl_xferLeft->text(), QStringLiteral("0:03"));
    EXPECT_EQ(dialog->lbl_xferRetries->text(), QStringLiteral("1"));
    EXPECT_EQ(dialog->pgb_xfer->value() * 4, dialog->pgb_xfer->maximum());

    // The next file, its size not known (a receive): the rate counts the
    // whole session, the bar only shows that something moves.
    p.fileName = "b.bin";
    p.fileIndex = 1;
    p.fileCount = 0;
    p.bytes = 1024;
    p.total = -1;
    p.retries = 3;
    p.elapsedMs = 2000;
    dialog->showProgress(p);
    EXPECT_EQ(dialog->lbl_xferFile->text(), QStringLiteral("b.bin (file 2)"));
    EXPECT_EQ(dialog->lbl_xferBytes->text(), QStringLiteral("1,024"));
    EXPECT_EQ(dialog->lbl_xferRate->text(), QStringLiteral("1,536 bytes/s"));
    EXPECT_EQ(dialog->lbl_xferLeft->text(), QString());
    EXPECT_EQ(dialog->lbl_xferRetries->text(), QStringLiteral("3"));
    EXPECT_EQ(dialog->pgb_xfer->maximum(), 0);

    // Hours when it comes to that; nothing moved yet gives no rate.
    p.fileIndex = 2;
    p.fileCount = 3;
    p.bytes = 3072;
    p.total = 10'003'072 + 3072;
    p.elapsedMs = 3000; // 2048 + 1024 + 3072 over 3 s
    dialog->showProgress(p);
    EXPECT_EQ(dialog->lbl_xferRate->text(), QStringLiteral("2,048 bytes/s"));
    EXPECT_EQ(dialog->lbl_xferLeft->text(), QStringLiteral("1:21:25")); // 10,003,072 bytes, rounded up
    p.elapsedMs = 0;
    dialog->showProgress(p);
    EXPECT_EQ(dialog->lbl_xferRate->text(), QString());
    EXPECT_EQ(dialog->lbl_xferLeft->text(), QString());
}

TEST_F(FileTransferDialogTest, TheFrameStopsThePollForTheTransferAndRestartsIt)
{
    PtyPair pty;
    open();
    connectTo(pty.slavePath());
    pty.send({ 'b', 'e', 'f', 'o', 'r', 'e' });
    ASSERT_TRUE(viewContains(*window, QStringLiteral("before")));

    bool pollStopped = false;
    bool shown = false;
    bool menuBlocked = false;
    std::string readByRoutine;
    const FileTransferOutcome outcome
        = dialog->run(QStringLiteral("ZMODEM send"), [&](SerialPort& port, const FileProgressCallback& progress) {
              pollStopped = !window->receiving();
              shown = dialog->isVisible() && dialog->windowTitle() == QStringLiteral("ZMODEM send");
              menuBlocked = dialog->windowModality() != Qt::NonModal;
              // What the device says now is the routine's alone.
              pty.send({ 'd', 'u', 'r', 'i', 'n', 'g' });
              std::uint8_t buffer[64];
              for (int i = 0; i < 2000 && readByRoutine.size() < 6; ++i) {
                  const std::size_t n = port.readBlock(buffer);
                  readByRoutine.append(buffer, buffer + n);
                  FileTransferProgress p;
                  p.fileName = "x.bin";
                  p.bytes = static_cast<std::int64_t>(readByRoutine.size());
                  p.total = 6;
                  if (progress(p))
                      break;
              }
              FileTransferOutcome o;
              o.files = { "/somewhere/x.bin" };
              o.bytes = 6;
              return o;
          });
    EXPECT_EQ(outcome.result, 0);
    EXPECT_TRUE(pollStopped);
    EXPECT_TRUE(shown);
    EXPECT_TRUE(menuBlocked);
    EXPECT_EQ(readByRoutine, "during");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Transfer complete\n1 file, 6 bytes: x.bin"));
    EXPECT_EQ(window->Panel2->text(), QStringLiteral("1 file, 6 bytes: x.bin"));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->lbl_xferBytes->text(), QStringLiteral("6 of 6"));

    // Afterwards the terminal reads again, and the device got its CR.
    EXPECT_TRUE(window->receiving());
    EXPECT_FALSE(window->transferRunning());
    EXPECT_EQ(deviceReads(pty, 1), "\r");
    pty.send({ 'a', 'f', 't', 'e', 'r' });
    EXPECT_TRUE(viewContains(*window, QStringLiteral("after")));
    EXPECT_FALSE(window->view()->text().contains(QStringLiteral("during")));
}

TEST_F(FileTransferDialogTest, CancelAndFailuresGetTheirMessages)
{
    PtyPair pty;
    open();
    connectTo(pty.slavePath());

    // Reports until the frame answers "cancel"; the core then ends Canceled.
    int reportsAfterCancel = -1;
    const auto untilCanceled = [&](SerialPort&, const FileProgressCallback& progress) {
        FileTransferProgress p;
        p.fileName = "big.bin";
        p.total = 1 << 20;
        FileTransferOutcome o;
        for (int i = 0; i < 100000; ++i) {
            p.bytes += 1024;
            if (progress(p)) {
                o.result = merovan::toInt(merovan::TransferResult::Canceled);
                break;
            }
        }
        return o;
    };
    bool cancelShown = false;
    QTimer::singleShot(0, dialog.get(), [&] {
        cancelShown = dialog->btn_xferCancel->isVisible();
        reportsAfterCancel = 0;
        dialog->btn_xferCancel->click();
    });
    FileTransferOutcome outcome = dialog->run(QStringLiteral("ZMODEM send"), untilCanceled);
    EXPECT_EQ(outcome.result, 4);
    EXPECT_TRUE(cancelShown);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Transfer canceled"));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(window->receiving());

    // Escape, or closing the dialog, is a cancel too; the dialog stays until
    // the transfer has ended.
    messages.clear();
    bool stillShown = false;
    QTimer::singleShot(0, dialog.get(), [&] {
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        stillShown = dialog->isVisible();
    });
    outcome = dialog->run(QStringLiteral("XMODEM receive"), untilCanceled);
    EXPECT_EQ(outcome.result, 4);
    EXPECT_TRUE(stillShown);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("Transfer canceled"));

    // A failure: the plain message, what went wrong under it and in the
    // bottom panel.
    messages.clear();
    outcome = dialog->run(QStringLiteral("YMODEM receive"), [](SerialPort&, const FileProgressCallback&) {
        FileTransferOutcome o;
        o.result = merovan::kFileTimeout;
        o.detail = "no answer for 10 s after block 7";
        return o;
    });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("The other side fell silent\nno answer for 10 s after block 7"));
    EXPECT_EQ(window->Panel2->text(), QStringLiteral("no answer for 10 s after block 7"));
    EXPECT_TRUE(window->receiving());

    // One transfer at a time.
    messages.clear();
    int inner = 0;
    outcome = dialog->run(QStringLiteral("ZMODEM send"), [&](SerialPort&, const FileProgressCallback&) {
        inner = dialog->run(QStringLiteral("ZMODEM send"), untilCanceled).result;
        return FileTransferOutcome {};
    });
    EXPECT_EQ(inner, -1);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(FileTransferDialogTest, AZmodemStartFromTheDeviceIsOfferedAndADeclinedOneCanceled)
{
    PtyPair pty;
    open();
    dialog->setReceiveFolder(QStringLiteral("/tmp/incoming"));
    connectTo(pty.slavePath());
    std::vector<QString> offered;
    bool pollStopped = false;
    dialog->setStartPrompt([&](const QString& folder) {
        offered.push_back(folder);
        pollStopped = !window->receiving();
        return false;
    });
    // Split where a read could split it.
    pty.send({ kZmodemStart.begin(), kZmodemStart.begin() + 4 });
    QTest::qWait(50);
    pty.send({ kZmodemStart.begin() + 4, kZmodemStart.end() });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !offered.empty(); }, 3000));
    EXPECT_EQ(offered, std::vector<QString> { QStringLiteral("/tmp/incoming") });
    EXPECT_TRUE(pollStopped);
    // Declined: the sender hears the receiver's cancel and the terminal goes on.
    EXPECT_EQ(deviceReads(pty, 16), std::string(8, '\x18') + std::string(8, '\b'));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->receiving(); }, 1000));
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(viewContains(*window, QStringLiteral("rz")));
    pty.send({ 'o', 'k' });
    EXPECT_TRUE(viewContains(*window, QStringLiteral("ok")));

    // Not offered when switched off.
    dialog->mnu_zmodemAuto->trigger();
    pty.send(kZmodemStart);
    pty.send({ 'n', 'e', 'x', 't' });
    ASSERT_TRUE(viewContains(*window, QStringLiteral("next")));
    QTest::qWait(20);
    EXPECT_EQ(offered.size(), 1u);
    EXPECT_EQ(deviceReads(pty, 1, 100), std::string());

    // The window's own question, answered No.
    open();
    dialog->setReceiveFolder(QStringLiteral("/tmp/incoming"));
    connectTo(pty.slavePath());
    QString question;
    QString where;
    QString caption;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box->objectName() != QStringLiteral("msg_zmodemStart"))
            return;
        question = box->text();
        where = box->informativeText();
        caption = box->windowTitle();
        answer.stop();
        box->button(QMessageBox::No)->click();
    });
    answer.start();
    pty.send(kZmodemStart);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !question.isEmpty(); }, 3000));
    EXPECT_EQ(question, QStringLiteral("Receive files by ZMODEM?"));
    EXPECT_TRUE(where.contains(QStringLiteral("/tmp/incoming"))) << where.toStdString();
    EXPECT_EQ(caption, QStringLiteral("Merovan"));
    EXPECT_EQ(deviceReads(pty, 16), std::string(8, '\x18') + std::string(8, '\b'));
}
