// SPDX-License-Identifier: GPL-3.0-or-later
// Scripts > "Run Lua script...": a script against devsim and lrzsz while the
// window goes on working.

#include "dialog_fixture.h"

#include "app/terminal_view.h"
#include "dialogs/file_transfer_dialog.h"
#include "dialogs/script_run_bar.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using merovan::test::Devsim;
using merovan::test::PtyBridge;
using merovan::test::readFile;

namespace fs = std::filesystem;

namespace {

class ScriptRunBarTest : public DialogFixture<FileTransferDialog>
{
protected:
    void TearDown() override
    {
        bar.reset();
        DialogFixture::TearDown();
    }

    void openWithBar()
    {
        bar.reset();
        open();
        bar = std::make_unique<ScriptRunBar>(*window, dialog.get(), nullptr);
    }

    std::string script(const std::string& code)
    {
        const std::string path = scratch("script") + ".lua";
        std::ofstream(path) << code;
        return path;
    }

    // Lets the event loop run until done() or timeoutMs; false on time-out.
    template <typename Done>
    bool spinUntil(Done done, int timeoutMs = 20000)
    {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > timeoutMs)
                return false;
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    std::string viewText() const { return window->view()->text().toStdString(); }

    std::unique_ptr<ScriptRunBar> bar;
};

TEST_F(ScriptRunBarTest, RunsAScriptFromTheMenuAndKeepsItInTheRecentList)
{
    Devsim sim({});
    openWithBar();
    connectTo(sim.port());
    const std::string path = script(R"lua(
        merovan.sendln("hello")
        local i, m = merovan.expect("hello")
        merovan.log("got " .. m)
        os.exit(4)
    )lua");
    EXPECT_EQ(bar->mnu_scripts->title().toStdString(), "&Scripts");
    EXPECT_EQ(bar->mnu_runScript->text().toStdString(), "Run Lua script...");
    bar->setScriptChooser([&](const QString&) { return QString::fromStdString(path); });
    bar->mnu_runScript->trigger();
    EXPECT_TRUE(bar->running());
    EXPECT_FALSE(bar->isHidden()) << "the bar shows while the script runs";
    EXPECT_EQ(bar->lbl_scriptName->text().toStdString(), fs::path(path).filename().string());
    ASSERT_TRUE(spinUntil([&] { return !bar->running(); }));
    EXPECT_EQ(bar->lastExitStatus(), 4) << bar->lastError().toStdString();
    EXPECT_TRUE(bar->isHidden());
    EXPECT_NE(viewText().find("[lua] "), std::string::npos) << viewText();
    EXPECT_NE(viewText().find(" got hello"), std::string::npos) << viewText();
    EXPECT_NE(viewText().find("ended with status 4"), std::string::npos) << viewText();
    ASSERT_EQ(bar->recentScripts().size(), 1);
    EXPECT_EQ(bar->recentScripts().front().toStdString(), path);

    // The recent list survives a restart.
    window->Shut_down();
    openWithBar();
    ASSERT_EQ(bar->recentScripts().size(), 1);
    EXPECT_EQ(bar->mnu_recentScripts->actions().size(), 1);
}

TEST_F(ScriptRunBarTest, TheViewUpdatesWhileTheScriptWaitsAndStopEndsIt)
{
    Devsim sim({});
    openWithBar();
    connectTo(sim.port());
    const std::string path = script(R"lua(
        merovan.sendln("ping")
        merovan.expect("never", 60000)
    )lua");
    ASSERT_TRUE(bar->runScript(QString::fromStdString(path)));
    // The echo reaches the view while the script waits for its pattern.
    ASSERT_TRUE(spinUntil([&] { return viewText().find("ping") != std::string::npos; })) << viewText();
    EXPECT_TRUE(bar->running());
    // The window takes keys meanwhile: they go to the device and come back.
    QTest::keyClicks(window->view(), QStringLiteral("typed"));
    ASSERT_TRUE(spinUntil([&] { return viewText().find("typed") != std::string::npos; })) << viewText();
    EXPECT_TRUE(bar->running());

    bar->btn_scriptStop->click();
    ASSERT_TRUE(spinUntil([&] { return !bar->running(); }, 5000));
    EXPECT_EQ(bar->lastExitStatus(), 1);
    EXPECT_EQ(bar->lastError().toStdString(), "Script stopped");
    EXPECT_NE(viewText().find("[lua] Script stopped"), std::string::npos) << viewText();
}

TEST_F(ScriptRunBarTest, ErrorsAndRefusals)
{
    openWithBar();
    EXPECT_FALSE(bar->runScript(QString::fromStdString(script("os.exit(0)"))));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().toStdString(), "COM port not open");

    Devsim sim({});
    connectTo(sim.port());
    const std::string broken = script("merovan.send('x')\nlocal t\nt.x = 1");
    ASSERT_TRUE(bar->runScript(QString::fromStdString(broken)));
    ASSERT_TRUE(spinUntil([&] { return !bar->running(); }));
    EXPECT_EQ(bar->lastExitStatus(), 1);
    EXPECT_NE(bar->lastError().toStdString().find(fs::path(broken).filename().string() + ":3:"), std::string::npos)
        << bar->lastError().toStdString();

    EXPECT_FALSE(bar->runScript(QString::fromStdString(script("if then"))));
    EXPECT_NE(messages.back().toStdString().find(":1:"), std::string::npos) << messages.back().toStdString();
}

TEST_F(ScriptRunBarTest, ATransferFromAScriptRunsUnderItsProgressDialog)
{
    if (!fs::exists("/usr/bin/rz"))
        GTEST_SKIP() << "lrzsz is not installed (tools/install-deps.sh)";
    const std::string folder = scratch("peer");
    fs::create_directories(folder);
    const std::string source = scratch("payload") + ".bin";
    std::mt19937 rng(7);
    std::string content(200000, '\0');
    for (char& c : content)
        c = static_cast<char>(rng() & 0xFF);
    std::ofstream(source, std::ios::binary) << content;

    PtyBridge peer({ "--", "/bin/sh", "-c", "cd '" + folder + "' && exec rz -q" });
    openWithBar();
    connectTo(peer.a());
    bool dialogSeen = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { dialogSeen = dialogSeen || dialog->isVisible(); });
    watch.start(5);
    const std::string path = script("local ok, err = merovan.send_file(arg[1], 'zmodem')\n"
                                    "merovan.log(ok and 'sent' or err)\n"
                                    "os.exit(ok and 0 or 3)\n");
    ASSERT_TRUE(bar->runScript(QString::fromStdString(path), { QString::fromStdString(source) }));
    ASSERT_TRUE(spinUntil([&] { return !bar->running(); }, 60000));
    EXPECT_EQ(bar->lastExitStatus(), 0) << viewText();
    EXPECT_TRUE(dialogSeen) << "the progress dialog of the Transfer menu";
    EXPECT_EQ(messages.size(), 0u) << "no message box holds the script up";
    EXPECT_EQ(peer.wait(20000), 0);
    EXPECT_EQ(readFile(folder + "/" + fs::path(source).filename().string()), content);
    EXPECT_NE(viewText().find("[lua] "), std::string::npos);
}

} // namespace
