// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/binary_dialog.h"

#include "app/icons.h"
#include "app/main_window.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/recent_list.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"
#include "transfer/binary_transfers.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

using dialog_parts::named;

namespace {

constexpr char kSection[] = "BinaryFORM";
constexpr char kFilter[] = "BMP files (*.bmp *.BMP);;BMC files (*.bmc *.BMC);;BF files (*.bf *.BF);;"
                           "Font files (*.bff *.BFF);;Binary files (*.bin *.BIN);;All files (*)";
const QString kCtsWarning = QStringLiteral("Warning: CTS is not checked");

} // namespace

Tfrm_bin::Tfrm_bin(Tfrm_Main& main)
    : QDialog(&main)
    , m_main(main)
{
    setObjectName(QStringLiteral("Tfrm_bin"));
    setWindowTitle(QStringLiteral("Binary Transfer"));
    setModal(false);

    GroupBox1 = named(new QGroupBox(QStringLiteral("Select file to download"), this), "GroupBox1");
    cbo_filename = named(new QComboBox(GroupBox1), "cbo_filename");
    cbo_filename->setEditable(true);
    cbo_filename->setInsertPolicy(QComboBox::NoInsert);
    cbo_filename->setMinimumContentsLength(28);
    SpeedButton1 = named(new QToolButton(GroupBox1), "SpeedButton1");
    SpeedButton1->setToolTip(QStringLiteral("Clear all Item"));
    SpeedButton1->setIcon(makeButtonIcon(ButtonIcon::Clear));
    btn_browse = named(new QPushButton(QStringLiteral("Browse"), GroupBox1), "btn_browse");
    chk_close = named(new QCheckBox(QStringLiteral("Close on complete"), GroupBox1), "chk_close");
    auto* group = new QGridLayout(GroupBox1);
    group->addWidget(cbo_filename, 0, 0);
    group->addWidget(SpeedButton1, 0, 1);
    group->addWidget(btn_browse, 0, 2);
    group->addWidget(chk_close, 1, 0);
    // A second clear button in the same place, as the dialog always had.
    SpeedButton2 = named(new QToolButton(this), "SpeedButton2");
    SpeedButton2->setToolTip(QStringLiteral("Clear all Item"));
    SpeedButton2->hide();

    chk_translate = named(new QCheckBox(QStringLiteral("Translate to BMC before send (pictures)"), this), "chk_translate");
    chk_font = named(new QCheckBox(QStringLiteral("Translate to binary font"), this), "chk_font");
    chk_createfile = named(new QCheckBox(QStringLiteral("Creates file instead of send"), this), "chk_createfile");
    chk_send = named(new QCheckBox(QStringLiteral("Send first"), this), "chk_send");
    cbo_send = named(new QComboBox(this), "cbo_send");
    cbo_send->setEditable(true);
    cbo_send->setInsertPolicy(QComboBox::NoInsert);
    cbo_send->setToolTip(QStringLiteral("Press enter to add item to list"));
    cbo_send->installEventFilter(this);
    cbo_send->lineEdit()->installEventFilter(this);
    spd_clearsend = named(new QToolButton(this), "spd_clearsend");
    spd_clearsend->setToolTip(QStringLiteral("Clear send list"));
    spd_clearsend->setIcon(makeButtonIcon(ButtonIcon::Clear));
    btn_cancelsend = named(new QPushButton(QStringLiteral("Cancel Send"), this), "btn_cancelsend");
    btn_cancelsend->setVisible(false);
    btn_close = named(new QPushButton(QStringLiteral("Close"), this), "btn_close");
    btn_send = named(new QPushButton(QStringLiteral("Send"), this), "btn_send");
    ProgressBar1 = named(new QProgressBar(this), "ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    Panel1 = named(new QLabel(this), "Panel1");
    QFont bold = Panel1->font();
    bold.setBold(true);
    Panel1->setFont(bold);
    Panel1->setStyleSheet(QStringLiteral("color: red;"));
    Panel1->setMinimumHeight(18);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addWidget(chk_translate);
    layout->addWidget(chk_font);
    layout->addWidget(chk_createfile);
    auto* sendRow = new QHBoxLayout;
    sendRow->addWidget(chk_send);
    sendRow->addWidget(cbo_send, 1);
    sendRow->addWidget(spd_clearsend);
    layout->addLayout(sendRow);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btn_send);
    buttons->addWidget(btn_cancelsend);
    buttons->addStretch(1);
    buttons->addWidget(btn_close);
    layout->addLayout(buttons);
    layout->addWidget(ProgressBar1);
    layout->addWidget(Panel1);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // The rules run on every change, however it comes about.
    connect(chk_translate, &QCheckBox::toggled, this, &Tfrm_bin::chk_translateClick);
    connect(chk_font, &QCheckBox::toggled, this, &Tfrm_bin::chk_fontClick);
    connect(chk_createfile, &QCheckBox::toggled, this, &Tfrm_bin::chk_createfileClick);
    connect(chk_send, &QCheckBox::toggled, this, &Tfrm_bin::chk_sendClick);
    connect(btn_browse, &QPushButton::clicked, this, &Tfrm_bin::btn_browseClick);
    connect(cbo_filename, &QComboBox::currentTextChanged, this, &Tfrm_bin::cbo_filenameChange);
    connect(SpeedButton1, &QToolButton::clicked, this, &Tfrm_bin::SpeedButton1Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &Tfrm_bin::SpeedButton1Click);
    connect(spd_clearsend, &QToolButton::clicked, this, &Tfrm_bin::spd_clearsendClick);
    connect(btn_send, &QPushButton::clicked, this, &Tfrm_bin::btn_sendClick);
    connect(btn_cancelsend, &QPushButton::clicked, this, &Tfrm_bin::btn_cancelsendClick);
    connect(btn_close, &QPushButton::clicked, this, &Tfrm_bin::btn_closeClick);

    m_chooseFile = [this](int& filterIndex) { return dialog_parts::browseForFile(this, kFilter, filterIndex); };

    // Creation, in its fixed order.
    merovan::IniFile ini(main.settingsPath());
    ini.load();
    const auto top = ini.readInteger(kSection, "Top", main.y() + 115);
    const auto left = ini.readInteger(kSection, "Left", main.x() + 120);
    move(static_cast<int>(left), static_cast<int>(top));
    recent_list::restore(cbo_filename, ini, kSection, "FileNames", "ItemIndex", true);
    m_filterIndex = static_cast<int>(ini.readInteger(kSection, "Filter", 0));
    chk_close->setChecked(ini.readBool(kSection, "Close", true));
    chk_translate->setChecked(ini.readBool(kSection, "Translate", false));
    chk_font->setChecked(ini.readBool(kSection, "Head", false));
    recent_list::restore(cbo_send, ini, kSection, "SendText", "SendIndex", false);
    chk_send->setChecked(ini.readBool(kSection, "Send", false));
    cbo_send->setEnabled(chk_send->isChecked());

    main.frm_bin = this;
    main.setDialog(Tfrm_Main::Dialog::Binary, this, this);
    main.addSendButton(btn_send);
    main.setCtsWarningHandler([this](bool cts) { showCtsWarning(cts); });

    chk_createfile->setChecked(ini.readBool(kSection, "Create", false));
    if (chk_createfile->isChecked()) {
        chk_send->setChecked(false);
        btn_send->setText(QStringLiteral("Create"));
    } else {
        btn_send->setText(QStringLiteral("Send"));
    }
}

void Tfrm_bin::saveSettings(merovan::IniFile& ini) const
{
    const QPoint corner = dialog_parts::keptCorner(*this, m_main);
    ini.writeInteger(kSection, "Top", corner.y());
    ini.writeInteger(kSection, "Left", corner.x());
    recent_list::save(cbo_filename, ini, kSection, "ItemIndex", "FileCount", "FileNames");
    ini.writeInteger(kSection, "Filter", m_filterIndex);
    ini.writeBool(kSection, "Close", chk_close->isChecked());
    ini.writeBool(kSection, "Translate", chk_translate->isChecked());
    ini.writeBool(kSection, "Head", chk_font->isChecked());
    recent_list::save(cbo_send, ini, kSection, "SendIndex", "SendCount", "SendText");
    ini.writeBool(kSection, "Send", chk_send->isChecked());
    ini.writeBool(kSection, "Create", chk_createfile->isChecked());
}

void Tfrm_bin::showCtsWarning(bool ctsChecked)
{
    Panel1->setText(ctsChecked ? QString() : kCtsWarning);
}

void Tfrm_bin::chk_translateClick()
{
    chk_createfile->setChecked(false);
    if (chk_translate->isChecked())
        chk_font->setChecked(false);
}

void Tfrm_bin::chk_fontClick()
{
    chk_createfile->setChecked(false);
    if (chk_font->isChecked())
        chk_translate->setChecked(false);
}

void Tfrm_bin::chk_createfileClick()
{
    if (chk_createfile->isChecked() && !chk_translate->isChecked() && !chk_font->isChecked()) {
        m_main.showMessage(QStringLiteral("BMC or Font must be checked"));
        chk_createfile->setChecked(false);
        return;
    }
    if (chk_createfile->isChecked()) {
        chk_send->setChecked(false);
        btn_send->setText(QStringLiteral("Create"));
    } else {
        btn_send->setText(QStringLiteral("Send"));
    }
}

void Tfrm_bin::chk_sendClick()
{
    // Turning the option off leaves the list as it is.
    if (chk_send->isChecked())
        cbo_send->setEnabled(true);
}

void Tfrm_bin::setFileChooser(std::function<QString(int&)> chooser)
{
    m_chooseFile = std::move(chooser);
}

void Tfrm_bin::btn_browseClick()
{
    const QString path = m_chooseFile(m_filterIndex);
    if (path.isEmpty())
        return;
    recent_list::appendAndSelect(cbo_filename, path);
    cbo_filename->setToolTip(path);
}

void Tfrm_bin::cbo_filenameChange()
{
    recent_list::updateFileHint(cbo_filename);
}

void Tfrm_bin::SpeedButton1Click()
{
    recent_list::clear(cbo_filename);
}

void Tfrm_bin::cbo_sendKeyDown(int key)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return;
    const QString text = cbo_send->currentText();
    if (!text.isEmpty())
        recent_list::appendAndSelect(cbo_send, text);
    Panel1->setText(QStringLiteral("Item added: ") + text);
}

void Tfrm_bin::spd_clearsendClick()
{
    recent_list::clear(cbo_send);
}

void Tfrm_bin::btn_sendClick()
{
    m_main.Transfer_bin();
}

void Tfrm_bin::btn_cancelsendClick()
{
    m_main.btn_cancelClick();
}

void Tfrm_bin::btn_closeClick()
{
    m_main.spd_binaryClick();
}

bool Tfrm_bin::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == cbo_send || watched == cbo_send->lineEdit()) && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            cbo_sendKeyDown(key->key());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Tfrm_Main::Transfer_bin()
{
    Tfrm_bin* dialog = frm_bin;
    if (!dialog)
        return;
    const bool create = dialog->chk_createfile->isChecked();
    TransferPanel panel;
    panel.which = Dialog::Binary;
    panel.fileBox = dialog->cbo_filename;
    panel.bar = dialog->ProgressBar1;
    panel.cancelButton = dialog->btn_cancelsend;
    panel.closeBox = dialog->chk_close;
    panel.status = dialog->Panel1;
    panel.needsPort = !create;
    panel.sendsToPort = !create;

    enum class Kind { Picture, Font, Binary };
    const Kind kind = dialog->chk_translate->isChecked() ? Kind::Picture
        : dialog->chk_font->isChecked()                  ? Kind::Font
                                                         : Kind::Binary;
    std::string written;
    TransferHooks hooks;
    hooks.beforeMessage = [this](int result) {
        if (result == merovan::toInt(merovan::TransferResult::Timeout))
            m_port.setCtsFlow(false);
    };
    hooks.after = [this] {
        if (mnu_cts->isChecked())
            m_port.setCtsFlow(true);
    };
    const int result = runTransfer(
        panel,
        [this, dialog, create](merovan::TransferRequest& request) {
            if (dialog->chk_send->isChecked() && !create)
                request.sendFirst = encodeText(dialog->cbo_send->currentText());
            request.createFile = create ? 1 : 0;
        },
        [kind, &written](merovan::TransferRequest& request, const merovan::ProgressCallback& progress) {
            switch (kind) {
            case Kind::Picture:
                return merovan::sendPicture(request, progress, &written);
            case Kind::Font:
                return merovan::sendFont(request, progress, &written);
            case Kind::Binary:
                break;
            }
            return merovan::sendBinaryFile(request, progress);
        },
        merovan::transferBinMessage, hooks);
    // Say where a written file went.
    if (result == 0 && !written.empty())
        dialog->Panel1->setText(QStringLiteral("Written to ") + recent_list::fromBytes(written));
}
