// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/app_windows.h"
#include "app/quit_signals.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "settings/settings_path.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "Usage: merovan [options]\n"
                      "A serial terminal for microcontroller boards.\n"
                      "\n"
                      "Options:\n"
                      "  --version          print the version and exit\n"
                      "  -h, --help         show this help and exit\n"
                      "\n"
                      "Qt's own options (-platform NAME, -style NAME, ...) are accepted too.\n"
                      "\n"
                      "Environment:\n"
                      "  MEROVAN_INI=FILE      the settings file to use\n"
                      "  MEROVAN_CONNECT=PATH  connect to PATH once the window is up\n"
                      "  MEROVAN_LOG=FILE      log the session to FILE from the start\n"
                      "  MEROVAN_PLOT_STATS=FILE  append the plot's frame count to FILE each second\n";

} // namespace

int main(int argc, char* argv[])
{
    // Answered before Qt starts, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("merovan %s\n", MEROVAN_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Merovan"));

    merovan::SteadyClock clock;
    merovan::SerialPort port(clock);
    const std::string settings
        = merovan::settingsFilePath(QCoreApplication::applicationDirPath().toLocal8Bit().toStdString());
    AppWindows windows(port, settings);
    Tfrm_Main& mainWindow = windows.window;
    // MEROVAN_PLOT_STATS=FILE: the plot's frame count, painting time and
    // sample counts, once a second (benchmarks).
    if (const QByteArray stats = qgetenv("MEROVAN_PLOT_STATS"); !stats.isEmpty())
        windows.plot.setStatsFile(stats.toStdString());
    mainWindow.show();
    closeOnQuitSignals(mainWindow);

    // MEROVAN_CONNECT=PATH connects to PATH once the window is up, as a click
    // on the connect button would (demos and benchmarks).
    if (const QByteArray path = qgetenv("MEROVAN_CONNECT"); !path.isEmpty()) {
        QTimer::singleShot(0, &mainWindow, [&mainWindow, path] {
            mainWindow.cbo_port->setEditText(QString::fromLocal8Bit(path));
            const int index = mainWindow.cbo_port->findText(QString::fromLocal8Bit(path));
            if (index >= 0)
                mainWindow.cbo_port->setCurrentIndex(index);
            mainWindow.spd_connect->click();
        });
    }
    // MEROVAN_LOG=FILE logs the session to FILE from the start, in the form
    // the settings last chose (benchmarks and soak runs).
    if (const QByteArray log = qgetenv("MEROVAN_LOG"); !log.isEmpty())
        mainWindow.startLog(log.toStdString(), mainWindow.logOptions());
    return app.exec();
}
