#include "app/main_window.h"
#include "dialogs/binary_dialog.h"
#include "dialogs/boot_dialog.h"
#include "dialogs/file_transfer_dialog.h"
#include "dialogs/text_dialog.h"
#include "scripts/script_dialog.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "settings/settings_path.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <QToolButton>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Merovan"));

    merovan::SteadyClock clock;
    merovan::SerialPort port(clock);
    const std::string settings
        = merovan::settingsFilePath(QCoreApplication::applicationDirPath().toLocal8Bit().toStdString());
    // The windows are made in a fixed order; each dialog reads its own
    // section of the settings as it is made, after the terminal window.
    Tfrm_Main mainWindow(port, settings);
    Tfrm_text textDialog(mainWindow);
    Tfrm_boot bootDialog(mainWindow);
    Tfrm_bin binaryDialog(mainWindow);
    Tfrm_script scriptDialog(mainWindow);
    FileTransferDialog fileTransfers(mainWindow);
    mainWindow.show();

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
