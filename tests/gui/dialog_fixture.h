// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/main_window.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/process.h"

#include <QComboBox>
#include <QLabel>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// A terminal window on a real port object and one transfer dialog, with
// their settings in a scratch file and messages collected instead of shown.
template <typename Dialog>
class DialogFixture : public ::testing::Test
{
protected:
    void SetUp() override { ::unsetenv("MEROVAN_EXTRA_PORTS"); }
    void TearDown() override
    {
        dialog.reset();
        window.reset();
        std::filesystem::remove(ini);
        for (const auto& f : files)
            std::filesystem::remove_all(f);
    }

    // Makes (or makes again) the window and the dialog, reading the settings.
    void open()
    {
        dialog.reset();
        window = std::make_unique<Tfrm_Main>(port, ini);
        window->setMessageHandler([this](const QString& m) { messages.push_back(m); });
        dialog = std::make_unique<Dialog>(*window);
    }

    void connectTo(const std::string& path)
    {
        window->cbo_port->setEditText(QString::fromStdString(path));
        window->spd_connect->click();
        ASSERT_TRUE(port.isOpen()) << window->Panel2->text().toStdString();
    }

    // The browse button offers path, as if the user had picked it.
    template <typename Browse>
    void chooseWith(Browse browse, const std::string& path)
    {
        dialog->setFileChooser([path](int&) { return QString::fromStdString(path); });
        ((*dialog).*browse)();
    }

    // A scratch file removed afterwards.
    std::string scratch(const std::string& stem)
    {
        files.push_back(merovan::test::tempPath(stem));
        return files.back();
    }

    merovan::SteadyClock clock;
    merovan::SerialPort port { clock };
    std::string ini = merovan::test::tempPath("ini") + ".ini";
    std::unique_ptr<Tfrm_Main> window;
    std::unique_ptr<Dialog> dialog;
    std::vector<QString> messages;
    std::vector<std::string> files;
};
