// SPDX-License-Identifier: GPL-3.0-or-later
// The window's Transfer menu against Debian's lrzsz, which runs as the far
// end of a pseudo-terminal link: what is sent or received by the menu must
// arrive whole.

#include "app/main_window.h"
#include "app/terminal_view.h"
#include "dialog_fixture.h"
#include "dialogs/file_transfer_dialog.h"
#include "serial/serial_port.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using merovan::test::PtyBridge;
using merovan::test::readFile;

namespace fs = std::filesystem;

namespace {

class FileTransferPeerTest : public DialogFixture<FileTransferDialog>
{
protected:
    void SetUp() override
    {
        DialogFixture::SetUp();
        for (const char* tool : { "/usr/bin/rz", "/usr/bin/sz", "/usr/bin/rx", "/usr/bin/rb" })
            ASSERT_TRUE(fs::exists(tool)) << tool << " is missing: tools/install-deps.sh installs lrzsz";
        source = scratch("source");
        fs::create_directories(source);
        newFolder();
    }

    void newFolder()
    {
        folder = scratch("peer");
        fs::create_directories(folder);
    }

    // command runs in folder as the link's far end (on a socket, as lrzsz
    // wants it); the window connects to the near end. With a line, the
    // command waits for the line the test types first, as a user starts the
    // far side's program at a shell, so nothing it says before the transfer
    // is the terminal's to read.
    void startPeer(const std::string& command, const std::string& line = {})
    {
        std::string script = "cd '" + folder + "' && ";
        if (!line.empty())
            script += "dd bs=1 count=" + std::to_string(line.size() + 1) + " >/dev/null 2>&1; ";
        script += "exec " + command;
        peer.reset();
        peer = std::make_unique<PtyBridge>(std::vector<std::string> { "--", "/bin/sh", "-c", script });
        open();
        connectTo(peer->a());
        m_line = line;
    }

    // Types the line the far side waits for, ending in CR.
    void typeLine()
    {
        QTest::keyClicks(window->view(), QString::fromStdString(m_line));
        QTest::keyClick(window->view(), Qt::Key_Return);
    }

    // Random bytes of size as the file name in the source folder.
    std::string randomFile(const std::string& name, std::size_t size, unsigned seed)
    {
        std::mt19937 rng(seed);
        std::string content(size, '\0');
        for (char& c : content)
            c = static_cast<char>(rng() & 0xFF);
        std::ofstream(sourcePath(name), std::ios::binary) << content;
        return content;
    }

    std::string sourcePath(const std::string& name) const { return source + "/" + name; }

    void sendByMenu(QAction* protocol, const std::vector<std::string>& paths)
    {
        protocol->trigger();
        dialog->setSendChooser([paths](bool, const QString&) {
            QStringList list;
            for (const auto& p : paths)
                list << QString::fromStdString(p);
            return list;
        });
        dialog->mnu_sendFile->trigger();
    }

    std::string firstLine(std::size_t index = 0) const
    {
        return index < messages.size() ? messages[index].section(QLatin1Char('\n'), 0, 0).toStdString() : "";
    }

    std::string source;
    std::string m_line;
    std::string folder;
    std::unique_ptr<PtyBridge> peer;
};

} // namespace

TEST_F(FileTransferPeerTest, XmodemAndYmodemFromTheMenuReachRxAndRb)
{
    // XMODEM-1K to rx, which pads the last block: the whole blocks arrive.
    const std::string one = randomFile("one.bin", 5000, 2);
    startPeer("rx -q -c one.bin", "rx one.bin");
    typeLine();
    sendByMenu(dialog->mnu_xmodem1k, { sourcePath("one.bin") });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(firstLine(), "Transfer complete");
    EXPECT_EQ(peer->wait(), 0);
    const std::string got = readFile(folder + "/one.bin");
    ASSERT_GE(got.size(), one.size());
    EXPECT_TRUE(got.substr(0, one.size()) == one);
    EXPECT_EQ(got.find_first_not_of('\x1A', one.size()), std::string::npos) << "only SUB padding follows";

    // A YMODEM batch of two to rb, with names and sizes.
    messages.clear();
    newFolder();
    const std::string a = randomFile("a.bin", 1025, 3);
    const std::string b = randomFile("b.txt", 128, 4);
    startPeer("rb -q", "rb");
    typeLine();
    sendByMenu(dialog->mnu_ymodem, { sourcePath("a.bin"), sourcePath("b.txt") });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].toStdString(), "Transfer complete\n2 files, 1,153 bytes: a.bin, b.txt");
    EXPECT_EQ(peer->wait(), 0);
    EXPECT_TRUE(readFile(folder + "/a.bin") == a);
    EXPECT_TRUE(readFile(folder + "/b.txt") == b);
}

TEST_F(FileTransferPeerTest, XmodemAndYmodemFromTheMenuComeFromSxAndSb)
{
    // XMODEM (CRC) from sx into the file the user names, the padding cut.
    std::string one = randomFile("one.bin", 3000, 5);
    one.back() = 'x';
    std::ofstream(sourcePath("one.bin"), std::ios::binary) << one;
    startPeer("sx -q '" + sourcePath("one.bin") + "'");
    const std::string target = folder + "/named-by-user.bin";
    QString suggested;
    dialog->setSaveChooser([&](const QString& suggestion) {
        suggested = suggestion;
        return QString::fromStdString(target);
    });
    dialog->mnu_xmodemCrc->trigger();
    dialog->mnu_xmodemStrip->trigger();
    dialog->mnu_receiveFiles->trigger();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].toStdString(), "Transfer complete\n1 file, 3,000 bytes: named-by-user.bin");
    EXPECT_TRUE(suggested.endsWith(QStringLiteral("/received.bin"))) << suggested.toStdString();
    EXPECT_EQ(peer->wait(), 0);
    EXPECT_TRUE(readFile(target) == one);

    // A YMODEM batch from sb into the folder chosen, names and sizes kept.
    messages.clear();
    newFolder();
    const std::string a = randomFile("a.bin", 1024, 6);
    const std::string b = randomFile("b.bin", 129, 7);
    startPeer("sb -q '" + sourcePath("a.bin") + "' '" + sourcePath("b.bin") + "'");
    const std::string into = scratch("into");
    fs::create_directories(into);
    dialog->setFolderChooser([&](const QString&) { return QString::fromStdString(into); });
    dialog->mnu_ymodem->trigger();
    dialog->mnu_receiveFiles->trigger();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].toStdString(), "Transfer complete\n2 files, 1,153 bytes into " + into + ": a.bin, b.bin");
    EXPECT_EQ(peer->wait(), 0);
    EXPECT_TRUE(readFile(into + "/a.bin") == a);
    EXPECT_TRUE(readFile(into + "/b.bin") == b);
    EXPECT_EQ(dialog->receiveFolder().toStdString(), into) << "remembered for the next time";
}
TEST_F(FileTransferPeerTest, AFileSentByZmodemFromTheMenuArrivesWholeAtRz)
{
    const std::string content = randomFile("payload.bin", 300'000, 1);
    startPeer("rz -q");
    sendByMenu(dialog->mnu_zmodem, { sourcePath("payload.bin") });
    ASSERT_EQ(messages.size(), 1u) << (messages.empty() ? "" : messages.back().toStdString());
    EXPECT_EQ(messages[0].toStdString(), "Transfer complete\n1 file, 300,000 bytes: payload.bin");
    EXPECT_EQ(peer->wait(), 0) << "rz's exit status";
    EXPECT_TRUE(readFile(folder + "/payload.bin") == content) << "the file arrived whole";
    EXPECT_EQ(dialog->lbl_xferBytes->text().toStdString(), "300,000 of 300,000");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(window->receiving());
}

TEST_F(FileTransferPeerTest, SzOnTheDeviceIsOfferedAndReceivedIntoTheFolder)
{
    const std::string content = randomFile("from-device.bin", 100'000, 5);
    const std::string into = scratch("into");
    fs::create_directories(into);
    std::vector<QString> offered;
    startPeer("sz -q '" + sourcePath("from-device.bin") + "'", "sz from-device.bin");
    dialog->setReceiveFolder(QString::fromStdString(into));
    dialog->setStartPrompt([&](const QString& f) {
        offered.push_back(f);
        return true;
    });
    typeLine();
    // The terminal sees sz start; the answer runs the receive from the event loop.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.empty(); }, 60000));
    EXPECT_EQ(offered, std::vector<QString> { QString::fromStdString(into) });
    EXPECT_EQ(messages[0].toStdString(), "Transfer complete\n1 file, 100,000 bytes into " + into + ": from-device.bin");
    EXPECT_EQ(peer->wait(), 0) << "sz's exit status";
    EXPECT_TRUE(readFile(into + "/from-device.bin") == content);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->receiving(); }, 1000));
}

TEST_F(FileTransferPeerTest, ZmodemReceiveFromTheMenuAndACancelTellsThePeer)
{
    // Receive: the folder is asked for, sz's files land in it.
    const std::string content = randomFile("r.bin", 20'000, 6);
    const std::string into = scratch("into");
    fs::create_directories(into);
    startPeer("sz -q '" + sourcePath("r.bin") + "'", "sz r.bin");
    // The menu's receive, straight after the line: the poll stops before sz's
    // start can be read, and there is no offer.
    dialog->setFolderChooser([&](const QString&) { return QString::fromStdString(into); });
    typeLine();
    dialog->mnu_receiveFiles->trigger();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(firstLine(), "Transfer complete");
    EXPECT_EQ(peer->wait(), 0);
    EXPECT_TRUE(readFile(into + "/r.bin") == content);

    // A send canceled at its first report: rz hears the cancel and ends,
    // the window says so and reads the port again.
    messages.clear();
    newFolder();
    randomFile("big.bin", 4'000'000, 7);
    startPeer("rz -q");
    bool pollStopped = false;
    QTimer::singleShot(0, dialog.get(), [&] {
        pollStopped = !window->receiving();
        dialog->btn_xferCancel->click();
    });
    sendByMenu(dialog->mnu_zmodem, { sourcePath("big.bin") });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].toStdString(), "Transfer canceled");
    EXPECT_TRUE(pollStopped);
    EXPECT_NE(peer->wait(), 0) << "rz ends, failed";
    EXPECT_TRUE(window->receiving());
    EXPECT_TRUE(!fs::exists(folder + "/big.bin") || fs::file_size(folder + "/big.bin") < 4'000'000u);
}
