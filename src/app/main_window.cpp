#include "app/main_window.h"

#include "serial/serial_port.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

Tfrm_Main::Tfrm_Main(merovan::SerialPort& port, QWidget* parent)
    : QMainWindow(parent)
    , m_port(port)
{
    setObjectName(QStringLiteral("Tfrm_Main"));
    setWindowTitle(QStringLiteral("Merovan"));
    resize(509, 386);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    auto* speedPanel = new QWidget(central);
    speedPanel->setObjectName(QStringLiteral("SpeedPanel"));
    auto* bar = new QHBoxLayout(speedPanel);
    bar->setContentsMargins(0, 0, 0, 0);

    auto* refresh = new QToolButton(speedPanel);
    refresh->setObjectName(QStringLiteral("spd_refresh"));
    refresh->setText(QStringLiteral("\u21bb"));
    refresh->setToolTip(QStringLiteral("Refresh Ports list"));
    connect(refresh, &QToolButton::clicked, this, &Tfrm_Main::mnu_refreshClick);
    bar->addWidget(refresh);

    m_cboPort = new QComboBox(speedPanel);
    m_cboPort->setObjectName(QStringLiteral("cbo_port"));
    m_cboPort->setEditable(true);
    m_cboPort->setMinimumContentsLength(16);
    bar->addWidget(m_cboPort);
    bar->addStretch(1);
    layout->addWidget(speedPanel);

    auto* view = new QPlainTextEdit(central);
    view->setObjectName(QStringLiteral("RichEdit1"));
    view->setReadOnly(true);
    layout->addWidget(view, 1);
    setCentralWidget(central);

    mnu_refreshClick();
    if (m_cboPort->count() > 0)
        m_cboPort->setCurrentIndex(0);
}

void Tfrm_Main::mnu_refreshClick()
{
    m_cboPort->clear();
    for (const std::string& path : m_port.enumeratePorts())
        m_cboPort->addItem(QString::fromLocal8Bit(path.c_str()));
}
