#pragma once

#include <QMainWindow>

class QComboBox;

namespace merovan {
class SerialPort;
}

// The terminal window. For now it lists the ports present.
class Tfrm_Main : public QMainWindow
{
    Q_OBJECT

public:
    explicit Tfrm_Main(merovan::SerialPort& port, QWidget* parent = nullptr);

    void mnu_refreshClick();

private:
    merovan::SerialPort& m_port;
    QComboBox* m_cboPort = nullptr;
};
