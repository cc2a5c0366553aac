// SPDX-License-Identifier: GPL-3.0-or-later
// View > Plot: the dock beside the terminal, fed by what the terminal reads
// from a pseudo-terminal the test writes to as the device.

#include "app/main_window.h"
#include "app/plot_dock.h"
#include "app/plot_view.h"
#include "app/terminal_view.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"
#include "support/process.h"
#include "support/pty_pair.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

using merovan::test::PtyPair;
using merovan::test::readFile;
using merovan::test::tempPath;

namespace fs = std::filesystem;

namespace {

bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000)
{
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (done())
            return true;
        QTest::qWait(10);
    }
    return done();
}

std::vector<unsigned char> bytes(const std::string& text)
{
    return { text.begin(), text.end() };
}

// The CSV without its time column, which depends on when lines came.
std::string withoutTimes(const std::string& csv)
{
    std::istringstream in(csv);
    std::string line;
    std::string out;
    while (std::getline(in, line)) {
        const auto comma = line.find(',');
        out += (comma == std::string::npos ? std::string() : line.substr(comma + 1)) + "\n";
    }
    return out;
}

class PlotDockTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = tempPath("gui-plot");
        fs::create_directories(m_dir);
        m_ini = m_dir + "/Merovan.ini";
    }
    void TearDown() override
    {
        window.reset();
        fs::remove_all(m_dir);
    }

    void open(std::size_t capacity = merovan::SeriesStore::kDefaultCapacity)
    {
        window.reset();
        window = std::make_unique<Tfrm_Main>(m_port, m_ini);
        window->setMessageHandler([this](const QString& m) { messages.push_back(m); });
        dock = new PlotDock(*window, capacity);
        window->resize(900, 700);
        window->show();
    }

    void showPlot()
    {
        if (!dock->isVisible())
            window->findChild<QAction*>(QStringLiteral("mnu_plot"))->trigger();
        ASSERT_TRUE(dock->isVisible());
    }

    void connectTo(const std::string& path)
    {
        window->cbo_port->setEditText(QString::fromStdString(path));
        window->spd_connect->click();
        ASSERT_TRUE(m_port.isOpen()) << window->Panel2->text().toStdString();
    }

    bool waitForRows(std::uint64_t rows)
    {
        return waitFor([&] { return dock->parser().counts().dataLines >= rows; });
    }

    merovan::SteadyClock m_clock;
    merovan::SerialPort m_port { m_clock };
    std::string m_dir;
    std::string m_ini;
    std::unique_ptr<Tfrm_Main> window;
    PlotDock* dock = nullptr;
    std::vector<QString> messages;
};

} // namespace

TEST_F(PlotDockTest, TheDockOpensFromTheViewMenuBesideTheTerminal)
{
    open();
    auto* viewMenu = window->findChild<QMenu*>(QStringLiteral("mnu_view"));
    ASSERT_NE(viewMenu, nullptr);
    QAction* plot = window->findChild<QAction*>(QStringLiteral("mnu_plot"));
    ASSERT_NE(plot, nullptr);
    EXPECT_TRUE(viewMenu->actions().contains(plot));
    EXPECT_EQ(plot->text(), QStringLiteral("&Plot"));
    EXPECT_FALSE(dock->isVisible()) << "closed on a first start";

    plot->trigger();
    EXPECT_TRUE(dock->isVisible());
    EXPECT_EQ(window->findChild<QDockWidget*>(QStringLiteral("dock_plot")), dock);
    EXPECT_EQ(window->dockWidgetArea(dock), Qt::BottomDockWidgetArea);
    // The terminal stays in view beside it.
    EXPECT_TRUE(window->RichEdit1->isVisible());
    EXPECT_GT(window->RichEdit1->height(), 50);
    EXPECT_GT(dock->view()->height(), 50);
    plot->trigger();
    EXPECT_FALSE(dock->isVisible());
}

TEST_F(PlotDockTest, TheLegendTogglesSeriesAndPauseKeepsRecording)
{
    PtyPair pty;
    open();
    showPlot();
    dock->cbo_plotX->setCurrentIndex(1); // sample numbers: the range follows the lines
    connectTo(pty.slavePath());
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "a:" + std::to_string(i) + ",b:" + std::to_string(-i) + "\r\n";
    pty.send(bytes(text));
    ASSERT_TRUE(waitForRows(40));
    // The terminal shows the text as ever.
    EXPECT_TRUE(waitFor([&] { return window->RichEdit1->text().contains(QStringLiteral("a:39,b:-39")); }));

    ASSERT_TRUE(waitFor([&] { return dock->lst_plotLegend->count() == 2; }));
    EXPECT_EQ(dock->lst_plotLegend->item(0)->text(), QStringLiteral("a"));
    EXPECT_EQ(dock->lst_plotLegend->item(1)->text(), QStringLiteral("b"));
    EXPECT_EQ(dock->lst_plotLegend->item(0)->checkState(), Qt::Checked);
    EXPECT_FALSE(dock->lst_plotLegend->item(0)->icon().isNull());
    EXPECT_EQ(PlotView::colourFor("a"), PlotView::colourFor(std::string("a")));
    EXPECT_NE(PlotView::colourFor("a"), PlotView::colourFor("b"));
    ASSERT_TRUE(waitFor([&] { return dock->view()->framesDrawn() > 0 && dock->view()->lastRange().x1 >= 39; }));

    dock->lst_plotLegend->item(1)->setCheckState(Qt::Unchecked);
    EXPECT_TRUE(dock->view()->shown(0));
    EXPECT_FALSE(dock->view()->shown(1));
    dock->lst_plotLegend->item(1)->setCheckState(Qt::Checked);
    EXPECT_TRUE(dock->view()->shown(1));

    // Paused: the picture stands still while the samples keep coming.
    dock->btn_plotPause->click();
    EXPECT_TRUE(dock->paused());
    EXPECT_EQ(dock->btn_plotPause->text(), QStringLiteral("Resume"));
    const double frozenEnd = dock->view()->lastRange().x1;
    text.clear();
    for (int i = 40; i < 60; ++i)
        text += "a:" + std::to_string(i) + ",b:" + std::to_string(-i) + "\r\n";
    pty.send(bytes(text));
    ASSERT_TRUE(waitForRows(60));
    dock->view()->repaint();
    EXPECT_EQ(dock->view()->lastRange().x1, frozenEnd);
    EXPECT_EQ(dock->store().series(0).size(), 60u);

    // Resumed: at the newest sample at once.
    dock->btn_plotPause->click();
    EXPECT_FALSE(dock->paused());
    EXPECT_EQ(dock->btn_plotPause->text(), QStringLiteral("Pause"));
    dock->view()->repaint();
    EXPECT_EQ(dock->view()->lastRange().x1, 59.0);

    // Zooming with the wheel pauses.
    QWheelEvent wheel(QPointF(200, 60), dock->view()->mapToGlobal(QPointF(200, 60)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(dock->view(), &wheel);
    EXPECT_TRUE(dock->paused());
    dock->view()->repaint();
    EXPECT_LT(dock->view()->lastRange().x1 - dock->view()->lastRange().x0, 59.0);
}

TEST_F(PlotDockTest, ExportCsvHoldsTheInputAndPngIsAPicture)
{
    PtyPair pty;
    open();
    showPlot();
    connectTo(pty.slavePath());
    pty.send(bytes("boot ok, starting\r\n"
                   "temp left:21.5,temp right:-3e-2\r\n"
                   "temp left:nan, temp right:4\r\n"
                   "x:1e300\r\n"
                   "t,u\r\n"
                   "1,2\r\n"));
    ASSERT_TRUE(waitForRows(4));
    const std::string csv = m_dir + "/samples.csv";
    ASSERT_TRUE(dock->exportCsv(QString::fromStdString(csv))) << messages.size();
    const std::string written = readFile(csv);
    EXPECT_EQ(written.rfind("time,temp left,temp right,x,t,u\n0.000,", 0), 0u) << written;
    EXPECT_EQ(withoutTimes(written), "temp left,temp right,x,t,u\n"
                                     "21.5,-0.03,,,\n"
                                     "nan,4,,,\n"
                                     ",,1e+300,,\n"
                                     ",,,1,2\n");

    const std::string png = m_dir + "/plot.png";
    ASSERT_TRUE(dock->exportPng(QString::fromStdString(png)));
    EXPECT_GT(fs::file_size(png), 1000u);
    const QImage picture(QString::fromStdString(png));
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), dock->view()->size());

    EXPECT_FALSE(dock->exportCsv(QStringLiteral("/nonexistent-dir/x.csv")));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Cannot export the plot: "))) << messages[0].toStdString();
}

TEST_F(PlotDockTest, NotesTellDropsRefusalsAndSkippedLinesAndClearForgets)
{
    PtyPair pty;
    open(100);
    showPlot();
    connectTo(pty.slavePath());
    std::string text = "hello\r\n";
    for (int i = 0; i < 150; ++i)
        text += "v:" + std::to_string(i) + "\r\n";
    for (int i = 0; i < 70; ++i)
        text += "l" + std::to_string(i) + ":1,";
    text += "\r\n";
    pty.send(bytes(text));
    ASSERT_TRUE(waitForRows(151));
    ASSERT_TRUE(waitFor([&] { return dock->lbl_plotNotes->text().contains(QStringLiteral("More than")); }));
    const QString notes = dock->lbl_plotNotes->text();
    EXPECT_TRUE(notes.contains(QStringLiteral("151 data lines, 64 series"))) << notes.toStdString();
    EXPECT_TRUE(notes.contains(QStringLiteral("1 other lines skipped"))) << notes.toStdString();
    EXPECT_TRUE(notes.contains(QStringLiteral("50 oldest samples dropped (each series keeps the last 100)")))
        << notes.toStdString();
    EXPECT_TRUE(notes.contains(QStringLiteral("More than 64 series: \"l63\" and later labels are not plotted")))
        << notes.toStdString();
    EXPECT_EQ(dock->lst_plotLegend->count(), 64);

    dock->btn_plotClear->click();
    EXPECT_TRUE(dock->store().empty());
    EXPECT_EQ(dock->lst_plotLegend->count(), 0);
    EXPECT_EQ(dock->lbl_plotNotes->text(), QStringLiteral("0 data lines, 0 series"));
    pty.send(bytes("w:5\r\n"));
    ASSERT_TRUE(waitForRows(1));
    EXPECT_EQ(dock->parser().names(), std::vector<std::string> { "w" });
}

TEST_F(PlotDockTest, ItsSettingsAreKept)
{
    open();
    showPlot();
    dock->edt_plotPrefix->setText(QStringLiteral("DATA:"));
    emit dock->edt_plotPrefix->editingFinished();
    EXPECT_EQ(dock->parser().prefix(), "DATA:");
    dock->cbo_plotX->setCurrentIndex(1);
    dock->spn_plotWindow->setValue(30);
    dock->chk_plotAll->setChecked(true);
    dock->chk_plotAutoY->setChecked(false);
    dock->spn_plotYMin->setValue(-2.5);
    dock->spn_plotYMax->setValue(7);
    window->Shut_down();

    merovan::IniFile ini(m_ini);
    ASSERT_TRUE(ini.load());
    EXPECT_EQ(ini.readString("PLOT", "Prefix", ""), "DATA:");
    EXPECT_EQ(ini.readInteger("PLOT", "XAxis", -1), 1);
    EXPECT_EQ(ini.readInteger("PLOT", "Window", -1), 30);

    open();
    EXPECT_TRUE(dock->isVisible());
    EXPECT_EQ(dock->edt_plotPrefix->text(), QStringLiteral("DATA:"));
    EXPECT_EQ(dock->parser().prefix(), "DATA:");
    EXPECT_EQ(dock->cbo_plotX->currentIndex(), 1);
    EXPECT_EQ(dock->view()->axis(), merovan::SeriesAxis::Sample);
    EXPECT_EQ(dock->spn_plotWindow->value(), 30);
    EXPECT_TRUE(dock->chk_plotAll->isChecked());
    EXPECT_FALSE(dock->chk_plotAutoY->isChecked());
    EXPECT_EQ(dock->spn_plotYMin->value(), -2.5);
    EXPECT_EQ(dock->spn_plotYMax->value(), 7.0);
    EXPECT_TRUE(dock->spn_plotYMin->isEnabled());
}
