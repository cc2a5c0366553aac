// SPDX-License-Identifier: GPL-3.0-or-later
// Every transfer keeps the window alive while it waits for a silent peer:
// its dialog is drawn before the first byte goes out, and a cancel clicked
// during a wait ends the transfer at once, not when the wait runs out.

#include "app/main_window.h"
#include "dialog_fixture.h"
#include "dialogs/binary_dialog.h"
#include "dialogs/boot_dialog.h"
#include "dialogs/file_transfer_dialog.h"
#include "dialogs/text_dialog.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using merovan::test::PtyPair;

namespace {

constexpr int kCancelAfterMs = 200;
constexpr qint64 kEndWithinMs = 500;

// Clicks cancel after kCancelAfterMs and notes what the window looked like
// then; `ended` tells how long after the click the transfer came back.
struct CancelProbe
{
    bool shown = false;       // the dialog (and its cancel button) was drawn
    bool clicked = false;
    QElapsedTimer sinceClick;

    void arm(QWidget* dialog, QAbstractButton* cancel)
    {
        QTimer::singleShot(kCancelAfterMs, dialog, [this, dialog, cancel] {
            shown = dialog->isVisible() && cancel->isVisible();
            clicked = true;
            sinceClick.start();
            cancel->click();
        });
    }
    qint64 ended() const { return clicked ? sinceClick.elapsed() : -1; }
};

// The dialog was drawn while the wait went on, the cancel was clicked, and
// the transfer came back within kEndWithinMs of the click.
void expectEndedAtOnce(const CancelProbe& probe)
{
    EXPECT_TRUE(probe.shown) << "the dialog was drawn while the peer was awaited";
    ASSERT_TRUE(probe.clicked);
    EXPECT_LT(probe.ended(), kEndWithinMs);
}

class FileTransferWaits : public DialogFixture<FileTransferDialog>
{
};

class BootWaits : public DialogFixture<Tfrm_boot>
{
};

class TextWaits : public DialogFixture<Tfrm_text>
{
};

class BinaryWaits : public DialogFixture<Tfrm_bin>
{
};

// A "Send first" text that pauses a minute before anything else goes out.
const QString kLongPause = QStringLiteral("go\\w60000");

} // namespace

TEST_F(FileTransferWaits, ACancelDuringTheStartWaitEndsEveryProtocolAtOnce)
{
    PtyPair pty; // nobody answers at the other end
    open();
    connectTo(pty.slavePath());
    const std::string file = scratch("payload") + ".bin";
    std::ofstream(file, std::ios::binary) << std::string(3000, 'x');
    const std::string folder = scratch("incoming");
    std::filesystem::create_directories(folder);
    dialog->setSendChooser([&](bool, const QString&) { return QStringList { QString::fromStdString(file) }; });
    dialog->setFolderChooser([&](const QString&) { return QString::fromStdString(folder); });
    dialog->setSaveChooser([&](const QString&) { return QString::fromStdString(folder + "/x.bin"); });

    using Choice = FileTransferDialog::Choice;
    const struct {
        Choice choice;
        bool send;
        const char* name;
    } rows[] = {
        { Choice::XmodemChecksum, true, "XMODEM send" },
        { Choice::XmodemCrc, true, "XMODEM (CRC) send" },
        { Choice::Xmodem1k, true, "XMODEM-1K send" },
        { Choice::Ymodem, true, "YMODEM send" },
        { Choice::Zmodem, true, "ZMODEM send" },
        { Choice::XmodemChecksum, false, "XMODEM receive" },
        { Choice::Xmodem1k, false, "XMODEM-1K receive" },
        { Choice::Ymodem, false, "YMODEM receive" },
        { Choice::Zmodem, false, "ZMODEM receive" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        messages.clear();
        dialog->setChoice(row.choice);
        CancelProbe probe;
        probe.arm(dialog.get(), dialog->btn_xferCancel);
        if (row.send)
            dialog->mnu_sendFileClick();
        else
            dialog->mnu_receiveFilesClick();
        ASSERT_NO_FATAL_FAILURE(expectEndedAtOnce(probe));
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Transfer canceled"))) << messages[0].toStdString();
        pty.receive(1 << 16, 50); // what the transfer sent, cancel included
    }
}

TEST_F(BootWaits, ACancelWhileTheLoaderIsAwaitedEndsTheLoadAtOnce)
{
    PtyPair pty;
    open();
    connectTo(pty.slavePath());
    const std::string file = scratch("app") + ".bin";
    std::ofstream(file, std::ios::binary) << std::string(5000, 'x');
    window->spb_bootClick();
    dialog->cbo_filename->setEditText(QString::fromStdString(file));
    dialog->chk_close->setChecked(false);
    CancelProbe probe;
    probe.arm(dialog.get(), dialog->btn_cancelsend);
    dialog->btn_send->click();
    ASSERT_NO_FATAL_FAILURE(expectEndedAtOnce(probe));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Transfer canceled"))) << messages[0].toStdString();
}

TEST_F(TextWaits, ACancelWhileALineAwaitsItsAcknowledgeEndsTheTransferAtOnce)
{
    PtyPair pty;
    open();
    connectTo(pty.slavePath());
    const std::string file = scratch("text") + ".bas";
    std::ofstream(file, std::ios::binary) << "10 PRINT 1\r\n20 PRINT 2\r\n";
    window->spd_settingsClick();
    dialog->cbo_filename->setEditText(QString::fromStdString(file));
    dialog->chk_close->setChecked(false);
    dialog->chk_eol->setChecked(true);
    dialog->edt_eol->setText(QStringLiteral("6"));
    // A line's acknowledge is awaited for a while; the cancel comes first.
    CancelProbe probe;
    probe.arm(dialog.get(), dialog->btn_cancel);
    dialog->btn_send->click();
    ASSERT_NO_FATAL_FAILURE(expectEndedAtOnce(probe));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Transfer canceled"))) << messages[0].toStdString();
}

TEST_F(TextWaits, ACancelDuringAPauseOfTheSendFirstTextEndsTheTransferAtOnce)
{
    PtyPair pty;
    open();
    connectTo(pty.slavePath());
    const std::string file = scratch("text") + ".bas";
    std::ofstream(file, std::ios::binary) << "10 PRINT 1\r\n";
    window->spd_settingsClick();
    dialog->cbo_filename->setEditText(QString::fromStdString(file));
    dialog->chk_close->setChecked(false);
    dialog->chk_send->setChecked(true);
    dialog->cbo_send->setEditText(kLongPause);
    CancelProbe probe;
    probe.arm(dialog.get(), dialog->btn_cancel);
    dialog->btn_send->click();
    ASSERT_NO_FATAL_FAILURE(expectEndedAtOnce(probe));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Transfer canceled"))) << messages[0].toStdString();
    const auto sent = pty.receive(64, 300);
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "go\r") << "nothing of the file after the pause, only the closing CR";
}

TEST_F(BinaryWaits, ACancelDuringAPauseOfTheSendFirstTextEndsTheSendAtOnce)
{
    PtyPair pty;
    open();
    connectTo(pty.slavePath());
    const std::string file = scratch("image") + ".bin";
    std::ofstream(file, std::ios::binary) << std::string(3000, 'b');
    window->spd_binaryClick();
    dialog->cbo_filename->setEditText(QString::fromStdString(file));
    dialog->chk_close->setChecked(false);
    dialog->chk_createfile->setChecked(false);
    dialog->chk_translate->setChecked(false);
    dialog->chk_font->setChecked(false);
    dialog->chk_send->setChecked(true);
    dialog->cbo_send->setEnabled(true);
    dialog->cbo_send->setEditText(kLongPause);
    CancelProbe probe;
    probe.arm(dialog.get(), dialog->btn_cancelsend);
    dialog->btn_send->click();
    ASSERT_NO_FATAL_FAILURE(expectEndedAtOnce(probe));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].contains(QStringLiteral("cancel"), Qt::CaseInsensitive)) << messages[0].toStdString();
    const auto sent = pty.receive(64, 300);
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "go\r") << "nothing of the file after the pause, only the closing CR";
}
