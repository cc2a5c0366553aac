#include "app/main_window.h"
#include "serial/clock.h"
#include "serial/serial_port.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Merovan"));

    merovan::SteadyClock clock;
    merovan::SerialPort port(clock);
    Tfrm_Main mainWindow(port);
    mainWindow.show();
    return app.exec();
}
