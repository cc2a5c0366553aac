// SPDX-License-Identifier: GPL-3.0-or-later
// Takes the README's screenshots of the terminal window against a running
// merovan-devsim: the port list with what sysfs knows of each port, the
// window connected, the view
// with timestamps, the hex view, and the status line while the device is
// away; then the terminal emulation, on an ESP-IDF-style coloured log and on
// a vim session that the device plays back, and a Lua script running. Run by take.sh, which sets up a
// fake sysfs tree and an X server.
#include "app/app_windows.h"
#include "app/terminal_view.h"
#include "app/vt_view.h"
#include "terminal/vt_screen.h"
#include "serial/clock.h"
#include "serial/serial_port.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QSplitter>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QStringList>
#include <QToolButton>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace {

void settle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// What is on the screen inside rect: the window and any popup over it.
bool save(const QRect& rect, const QString& file)
{
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height());
    if (!shot.save(file)) {
        std::fprintf(stderr, "merovan-screenshots: cannot write %s\n", qPrintable(file));
        return false;
    }
    std::printf("%s\n", qPrintable(file));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 6) {
        std::fprintf(stderr, "Usage: merovan-screenshots OUTDIR DEVSIM LINK SETTINGS CAPTURES\n");
        return 2;
    }
    const QString captures = args[5];
    const QString out = args[1], devsim = args[2], link = args[3];
    QProcess device;
    const auto startDevice = [&] {
        device.start(devsim, { QStringLiteral("--link"), link, QStringLiteral("--stream"), QStringLiteral("400") });
        return waitFor([&] { return std::filesystem::exists(link.toStdString()); }, 5000);
    };
    if (!startDevice()) {
        std::fprintf(stderr, "merovan-screenshots: merovan-devsim did not start\n");
        return 1;
    }

    merovan::SteadyClock clock;
    merovan::SerialPort port(clock);
    // The window as the program makes it, with all its menus.
    AppWindows windows(port, args[4].toStdString());
    Tfrm_Main& w = windows.window;
    PlotDock& plot = windows.plot;
    w.move(0, 0);
    w.resize(760, 420);
    w.show();
    settle(800);
    bool ok = true;

    // The port list, open.
    w.cbo_port->showPopup();
    settle(600);
    const QRect popup = w.cbo_port->view()->window()->frameGeometry();
    QRect area = w.frameGeometry().united(popup).intersected(QGuiApplication::primaryScreen()->geometry());
    area.setBottom(std::min(area.bottom(), popup.bottom() + 24));
    ok &= save(area, out + QStringLiteral("/port-list.png"));
    w.cbo_port->hidePopup();
    settle(200);

    // Connected: the README's first picture.
    w.cbo_port->setCurrentIndex(w.cbo_port->findText(link));
    w.spd_connect->click();
    settle(2500);
    ok &= save(w.frameGeometry(), out + QStringLiteral("/screenshot.png"));

    // With timestamps and a session log.
    w.mnu_timestamps->setChecked(true);
    w.Clearscreen1Click();
    merovan::LogOptions log = w.logOptions();
    log.timestamps = true;
    w.startLog((out + QStringLiteral("/session.log")).toStdString(), log);
    settle(3500);
    ok &= save(w.frameGeometry(), out + QStringLiteral("/timestamps.png"));

    // The hex view.
    w.mnu_timestamps->setChecked(false);
    w.mnu_hex->setChecked(true);
    w.Clearscreen1Click();
    settle(3000);
    ok &= save(w.frameGeometry(), out + QStringLiteral("/hex-view.png"));

    // The device goes away: the status line waits for it.
    w.mnu_hex->setChecked(false);
    w.mnu_timestamps->setChecked(true);
    w.Clearscreen1Click();
    settle(2000);
    device.terminate();
    device.waitForFinished(3000);
    ok &= waitFor([&] { return w.Panel2->text().startsWith(QStringLiteral("Disconnected")); }, 5000);
    settle(500);
    ok &= save(w.frameGeometry(), out + QStringLiteral("/reconnect-waiting.png"));
    ok &= startDevice();
    ok &= waitFor([&] { return w.Panel2->text() == QStringLiteral("Reconnected"); }, 10000);
    settle(500);

    w.stopLog();

    // The plot beside the terminal, from the device's series.
    device.terminate();
    device.waitForFinished(3000);
    ok &= waitFor([&] { return w.Panel2->text().startsWith(QStringLiteral("Disconnected")); }, 5000);
    w.mnu_timestamps->setChecked(false);
    w.resize(1200, 560);
    w.addDockWidget(Qt::RightDockWidgetArea, &plot);
    plot.show();
    w.resizeDocks({ &plot }, { 700 }, Qt::Horizontal);
    settle(300);
    device.start(devsim, { QStringLiteral("--link"), link, QStringLiteral("--stream-series"), QStringLiteral("50"),
                           QStringLiteral("--no-greeting") });
    ok &= waitFor([&] { return w.Panel2->text() == QStringLiteral("Reconnected"); }, 10000);
    w.Clearscreen1Click();
    plot.clear();
    settle(11000);
    ok &= save(w.frameGeometry(), out + QStringLiteral("/plot.png"));

    device.terminate();
    device.waitForFinished(3000);

    // Terminal emulation: the device plays a recorded session back.
    plot.hide();
    w.removeDockWidget(&plot);
    w.mnu_timestamps->setChecked(false);
    w.mnu_utf8->trigger(); // the recorded programs write UTF-8
    w.setEmulation(true);
    settle(300); // the screen laid out before it is measured
    auto play = [&](const QString& capture) {
        bool played = waitFor([&] { return w.Panel2->text().startsWith(QStringLiteral("Disconnected")); }, 5000);
        w.Clearscreen1Click();
        device.start(devsim, { QStringLiteral("--link"), link, QStringLiteral("--no-echo"), QStringLiteral("--no-greeting"),
                               QStringLiteral("--play"), captures + QLatin1Char('/') + capture });
        played &= waitFor([&] { return w.Panel2->text() == QStringLiteral("Reconnected"); }, 10000);
        return played;
    };
    // A screen of exactly 80 x 24 for the recorded sessions, a few lines of
    // history above it.
    auto* screen = w.findChild<VtView*>(QStringLiteral("vt_screen"));
    auto* split = w.findChild<QSplitter*>(QStringLiteral("spl_view"));
    const QFontMetrics fm(screen->font());
    const int lineHeight = std::max(1, fm.lineSpacing());
    const int screenHeight = 24 * lineHeight;
    const int screenWidth = 80 * fm.horizontalAdvance(QLatin1Char('M'));
    const int history = 5 * lineHeight;
    w.resize(w.width() + screenWidth - screen->width() + 2, w.height() + screenHeight + history - split->height() + 4);
    settle(300);
    split->setSizes({ history, screenHeight + 2 });
    settle(300);
    ok &= play(QStringLiteral("esp_log.raw"));
    settle(2500);
    screen->flushRepaint();
    settle(200);
    ok &= save(w.frameGeometry(), out + QStringLiteral("/emulation-log.png"));
    device.terminate();
    device.waitForFinished(3000);
    ok &= play(QStringLiteral("vim.raw"));
    settle(2500);
    screen->flushRepaint();
    settle(200);
    ok &= save(w.frameGeometry(), out + QStringLiteral("/emulation-vim.png"));
    std::printf("screen %d x %d\n", w.screen().cols(), w.screen().rows());
    // A Lua script waiting for the login prompt while the board counts down.
    device.terminate();
    device.waitForFinished(3000);
    waitFor([&] { return w.Panel2->text().startsWith(QStringLiteral("Disconnected")); }, 5000);
    w.setEmulation(false);
    w.Clearscreen1Click();
    device.start(devsim, { QStringLiteral("--link"), link, QStringLiteral("--autoboot"), QStringLiteral("3") });
    ok &= waitFor([&] { return w.Panel2->text() == QStringLiteral("Reconnected"); }, 10000);
    const QString script = out + QStringLiteral("/login.lua");
    if (QFile f(script); f.open(QIODevice::WriteOnly))
        f.write("merovan.log('waiting for the login prompt')\n"
                "merovan.expect('login: ', 30000)\n"
                "merovan.sendln('root')\n");
    ScriptRunBar& bar = windows.scriptBar;
    ok &= bar.runScript(script);
    settle(1800);
    ok &= save(w.frameGeometry(), out + QStringLiteral("/lua-script.png"));
    bar.btn_scriptStopClick();
    settle(300);
    device.terminate();
    device.waitForFinished(3000);
    return ok ? 0 : 1;
}
