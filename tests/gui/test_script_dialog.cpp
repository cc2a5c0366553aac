// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window.h"
#include "app/terminal_view.h"
#include "scripts/script_dialog.h"
#include "scripts/script_store.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/process.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
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

class ScriptDialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = tempPath("scripts");
        fs::create_directories(dir);
        ::unsetenv("MEROVAN_EXTRA_PORTS");
    }
    void TearDown() override
    {
        dialog.reset();
        window.reset();
        fs::remove(ini);
        fs::remove_all(dir);
    }

    void open()
    {
        dialog.reset();
        window = std::make_unique<Tfrm_Main>(port, ini);
        window->setMessageHandler([this](const QString& m) { messages.push_back(m); });
        dialog = std::make_unique<Tfrm_script>(*window);
    }

    void browse(const std::string& path)
    {
        dialog->setFileChooser([path](int&) { return QString::fromStdString(path); });
        dialog->btn_browseClick();
    }

    QStringList names() const
    {
        QStringList out;
        for (int i = 0; i < dialog->cbo_script->count(); ++i)
            out.push_back(dialog->cbo_script->itemText(i));
        return out;
    }

    void typeName(const QString& name)
    {
        dialog->cbo_script->setEditText(name);
    }

    merovan::SteadyClock clock;
    merovan::SerialPort port { clock };
    std::string ini = tempPath("ini") + ".ini";
    std::string dir;
    std::unique_ptr<Tfrm_Main> window;
    std::unique_ptr<Tfrm_script> dialog;
    std::vector<QString> messages;
};

} // namespace

TEST_F(ScriptDialogTest, BrowsingToANewNameCreatesAnEmptyScriptFile)
{
    open();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Scripts"));
    EXPECT_EQ(dialog->pos(), QPoint(window->x() + 125, window->y() + 125));
    browse(dir + "/fresh");
    ASSERT_EQ(messages, std::vector<QString> { QStringLiteral("New file created") });
    EXPECT_EQ(readFile(dir + "/fresh.scr"), "\x17");
    EXPECT_EQ(dialog->cbo_filename->currentText(), QString::fromStdString(dir + "/fresh.scr"));
    EXPECT_TRUE(names().isEmpty());

    messages.clear();
    dialog->setFileChooser([](int&) { return QString(); });
    dialog->btn_browseClick();
    EXPECT_EQ(dialog->cbo_filename->count(), 1) << "a cancelled browse changes nothing";
    browse("/nonexistent-dir/x");
    EXPECT_EQ(messages, std::vector<QString> { QStringLiteral("/nonexistent-dir/x !! cant create ths file") });
}

TEST_F(ScriptDialogTest, AddUpdateAndRemoveWorkOnTheFile)
{
    const std::string file = dir + "/tests.scr";
    std::ofstream(file, std::ios::binary) << "A\x1fx\x1e\x17";
    open();
    browse(file);
    EXPECT_EQ(names(), QStringList { QStringLiteral("A") });
    EXPECT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("x"));
    EXPECT_EQ(dialog->mmo_script->palette().color(QPalette::Base), QColor(0, 255, 255)) << "aqua once shown";

    typeName(QString());
    dialog->apd_addClick();
    EXPECT_EQ(messages, std::vector<QString> { QStringLiteral("Script name is blank!!") });
    EXPECT_EQ(readFile(file), "A\x1fx\x1e\x17");

    typeName(QStringLiteral("B"));
    EXPECT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("x")) << "a new name keeps the memo";
    dialog->mmo_script->setPlainText(QStringLiteral("y"));
    dialog->apd_addClick();
    EXPECT_EQ(dialog->Panel1->text(), QStringLiteral("Item added: B"));
    EXPECT_EQ(names(), (QStringList { QStringLiteral("A"), QStringLiteral("B") }));
    EXPECT_EQ(readFile(file), "A\x1fx\x1e" "B\x1fy\x1e\x17");

    typeName(QStringLiteral("C"));
    dialog->mmo_script->setPlainText(QStringLiteral("line1\nline2"));
    dialog->spd_updateClick();
    EXPECT_EQ(readFile(file), "A\x1fx\x1e" "B\x1fy\x1e" "C\x1fline1\r\nline2\x1e\x17") << "update of a new name appends";
    EXPECT_EQ(dialog->cbo_script->currentText(), QStringLiteral("C"));
    EXPECT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("line1\nline2"));

    for (const char* name : { "A", "B", "C" }) {
        typeName(QLatin1String(name));
        dialog->SpeedButton1Click();
    }
    EXPECT_EQ(readFile(file), "\x17");
    EXPECT_TRUE(names().isEmpty());
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(ScriptDialogTest, TheFileListSurvivesARestart)
{
    const std::string file = dir + "/keep.scr";
    std::ofstream(file, std::ios::binary) << "Z\x1f" "zed\x1e" "M\x1f" "em\x1e\x17";
    open();
    browse(file);
    dialog->move(10, 20);
    window->Shut_down();
    open();
    EXPECT_EQ(dialog->cbo_filename->currentText(), QString::fromStdString(file));
    EXPECT_EQ(names(), (QStringList { QStringLiteral("M"), QStringLiteral("Z") })) << "sorted";
    EXPECT_EQ(dialog->cbo_script->currentText(), QStringLiteral("M"));
    EXPECT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("em"));
    EXPECT_EQ(dialog->pos(), QPoint(10, 20));
}

TEST_F(ScriptDialogTest, SendNeedsAnOpenPortAndEchoesWhatWentOut)
{
    open();
    dialog->mmo_script->setPlainText(QStringLiteral("AB\\r"));
    dialog->btn_sendClick();
    EXPECT_EQ(messages, std::vector<QString> { QStringLiteral("COM port not open") });
    EXPECT_EQ(window->view()->text(), QString());

    const std::string record = tempPath("record");
    Devsim sim({ "--record", record, "--no-greeting" });
    window->cbo_port->setEditText(QString::fromStdString(sim.port()));
    window->spd_connect->click();
    ASSERT_TRUE(port.isOpen());
    dialog->mmo_script->setPlainText(QStringLiteral("AB\\r\\0x1b"));
    dialog->btn_send->click();
    // The echo first, then the device's own echo through the poll.
    EXPECT_TRUE(window->view()->text().startsWith(QStringLiteral("AB\n[1b]")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->view()->text() == QStringLiteral("AB\n[1b]AB\n[1b]"); }, 3000))
        << window->view()->text().toStdString();
    ASSERT_TRUE(merovan::test::waitForFileSize(record, 4));
    EXPECT_EQ(readFile(record), "AB\r\x1b");
    fs::remove(record);
}

TEST_F(ScriptDialogTest, AFileThatIsNoScriptFileIsRefusedAndNeverWritten)
{
    const std::string binary = dir + "/program.bin";
    const std::string content("\x7f" "ELF\x02\x01\x00\x1f\x8b\x1e\xff\x00\x00\x00", 14);
    std::ofstream(binary, std::ios::binary) << content;
    const std::string text = dir + "/notes.txt";
    std::ofstream(text, std::ios::binary) << "just some notes\n";
    open();
    browse(binary);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].toStdString(), binary + " is not a script file (record 2: its name has no end)");
    EXPECT_EQ(dialog->cbo_filename->count(), 0) << "not offered for the next add";
    browse(text);
    EXPECT_EQ(dialog->cbo_filename->count(), 0);

    // Typed into the box instead of browsed: every writing button refuses.
    dialog->cbo_filename->setEditText(QString::fromStdString(binary));
    messages.clear();
    typeName(QStringLiteral("A"));
    dialog->mmo_script->setPlainText(QStringLiteral("x"));
    dialog->apd_addClick();
    dialog->spd_updateClick();
    typeName(QStringLiteral("A"));
    dialog->SpeedButton1Click();
    dialog->Panel1Click();
    EXPECT_EQ(readFile(binary), content) << "nothing written";
    EXPECT_EQ(readFile(text), "just some notes\n");
    ASSERT_EQ(messages.size(), 4u);
    for (const QString& m : messages)
        EXPECT_EQ(m.toStdString(), binary + " is not a script file (record 2: its name has no end); nothing was written");
}

TEST_F(ScriptDialogTest, TextTypedBeforeTheNameIsKeptAndRenameKeepsTheText)
{
    const std::string file = dir + "/tests.scr";
    std::ofstream(file, std::ios::binary) << "A\x1fx\x1e" "B\x1fy\x1e\x17";
    open();
    browse(file);
    ASSERT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("x"));

    // The text first, then a new name, typed a letter at a time.
    dialog->mmo_script->setPlainText(QStringLiteral("hello\nworld"));
    dialog->cbo_script->setFocus();
    dialog->cbo_script->lineEdit()->selectAll();
    QTest::keyClicks(dialog->cbo_script->lineEdit(), QStringLiteral("Greeting"));
    ASSERT_EQ(dialog->cbo_script->currentText(), QStringLiteral("Greeting"));
    EXPECT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("hello\nworld"));
    dialog->apd_addClick();
    EXPECT_EQ(readFile(file), "A\x1fx\x1e" "B\x1fy\x1e" "Greeting\x1fhello\r\nworld\x1e\x17");

    // A stored name still brings its text.
    typeName(QStringLiteral("B"));
    EXPECT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("y"));

    // Rename: B becomes Bee with its text, in its place; the memo is kept.
    typeName(QStringLiteral("Bee"));
    EXPECT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("y"));
    dialog->spd_rename->click();
    EXPECT_EQ(readFile(file), "A\x1fx\x1e" "Bee\x1fy\x1e" "Greeting\x1fhello\r\nworld\x1e\x17");
    EXPECT_EQ(names(), (QStringList { QStringLiteral("A"), QStringLiteral("Bee"), QStringLiteral("Greeting") }));
    EXPECT_EQ(dialog->cbo_script->currentText(), QStringLiteral("Bee"));
    EXPECT_EQ(dialog->mmo_script->toPlainText(), QStringLiteral("y"));
    EXPECT_EQ(dialog->Panel1->text(), QStringLiteral("Item renamed: B to Bee"));
    EXPECT_TRUE(messages.empty());

    // A name that exists is that script's own: nothing to rename.
    typeName(QStringLiteral("A"));
    typeName(QStringLiteral("Bee"));
    dialog->spd_renameClick();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(readFile(file), "A\x1fx\x1e" "Bee\x1fy\x1e" "Greeting\x1fhello\r\nworld\x1e\x17");
}
