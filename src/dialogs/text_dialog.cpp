// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/text_dialog.h"

#include "app/icons.h"
#include "app/main_window.h"
#include "common/text_value.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/recent_list.h"
#include "settings/ini_file.h"
#include "transfer/text_transfer.h"

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

constexpr char kSection[] = "TransferFORM";
constexpr char kFilter[] = "Bas files (*.bas *.BAS);;All files (*)";

// A pacing value: the leading decimal number of the field, kept in a byte.
std::uint8_t byteValue(const QLineEdit* edit)
{
    return static_cast<std::uint8_t>(merovan::decimalValue(recent_list::toBytes(edit->text())) & 0xFF);
}

} // namespace

Tfrm_text::Tfrm_text(Tfrm_Main& main)
    : QDialog(&main)
    , m_main(main)
{
    setObjectName(QStringLiteral("Tfrm_text"));
    setWindowTitle(QStringLiteral("Text Transfer"));
    setModal(false);

    GroupBox1 = named(new QGroupBox(QStringLiteral("End of line action"), this), "GroupBox1");
    chk_eol = named(new QCheckBox(QStringLiteral("End of line wait for character"), GroupBox1), "chk_eol");
    edt_eol = named(new QLineEdit(QStringLiteral("6"), GroupBox1), "edt_eol");
    chk_err = named(new QCheckBox(QStringLiteral("On error character"), GroupBox1), "chk_err");
    edt_err = named(new QLineEdit(QStringLiteral("5"), GroupBox1), "edt_err");
    chk_delay = named(new QCheckBox(QStringLiteral("End of line delay ms"), GroupBox1), "chk_delay");
    edt_delay = named(new QLineEdit(QStringLiteral("100"), GroupBox1), "edt_delay");
    auto* pacing = new QGridLayout(GroupBox1);
    pacing->addWidget(chk_eol, 0, 0);
    pacing->addWidget(edt_eol, 0, 1);
    pacing->addWidget(chk_err, 1, 0);
    pacing->addWidget(edt_err, 1, 1);
    pacing->addWidget(chk_delay, 2, 0);
    pacing->addWidget(edt_delay, 2, 1);
    for (QLineEdit* e : { edt_eol, edt_err, edt_delay })
        e->setMaximumWidth(60);

    btn_close = named(new QPushButton(QStringLiteral("Close"), this), "btn_close");
    cbo_filename = named(new QComboBox(this), "cbo_filename");
    cbo_filename->setEditable(true);
    cbo_filename->setInsertPolicy(QComboBox::NoInsert);
    btn_browes = named(new QPushButton(QStringLiteral("Browes"), this), "btn_browes");
    btn_browes->setToolTip(QStringLiteral("Get file"));
    btn_send = named(new QPushButton(QStringLiteral("Send"), this), "btn_send");
    spd_clear = named(new QToolButton(this), "spd_clear");
    spd_clear->setToolTip(QStringLiteral("Clear all files from dropdown"));
    spd_clear->setIcon(makeButtonIcon(ButtonIcon::Clear));
    ProgressBar1 = named(new QProgressBar(this), "ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    chk_close = named(new QCheckBox(QStringLiteral("Close on transfer End"), this), "chk_close");
    btn_cancel = named(new QPushButton(QStringLiteral("Cancel Transfer"), this), "btn_cancel");
    btn_cancel->setVisible(false);

    Panel1 = named(new QGroupBox(this), "Panel1");
    cbo_send = named(new QComboBox(Panel1), "cbo_send");
    cbo_send->setEditable(true);
    cbo_send->setInsertPolicy(QComboBox::NoInsert);
    cbo_send->setToolTip(QStringLiteral("Text will be sent before transfer begins"));
    cbo_send->installEventFilter(this);
    cbo_send->lineEdit()->installEventFilter(this);
    chk_send = named(new QCheckBox(QStringLiteral("Send first"), Panel1), "chk_send");
    chk_send->setToolTip(QStringLiteral("Check to activate sending text"));
    spd_clrtext = named(new QToolButton(Panel1), "spd_clrtext");
    spd_clrtext->setToolTip(QStringLiteral("Clear text list"));
    spd_clrtext->setIcon(makeButtonIcon(ButtonIcon::Clear));
    Label1 = named(new QLabel(QStringLiteral("Press enter after inputting"), Panel1), "Label1");
    Label2 = named(new QLabel(QStringLiteral("text to add to list"), Panel1), "Label2");
    auto* sendFirst = new QGridLayout(Panel1);
    sendFirst->addWidget(cbo_send, 0, 0, 1, 2);
    sendFirst->addWidget(spd_clrtext, 0, 2);
    sendFirst->addWidget(chk_send, 1, 0);
    sendFirst->addWidget(Label1, 1, 1, 1, 2);
    sendFirst->addWidget(Label2, 2, 1, 1, 2);

    Panel2 = named(new QLabel(this), "Panel2");
    Panel2->setFrameShape(QFrame::Panel);
    Panel2->setFrameShadow(QFrame::Sunken);
    Panel2->setMinimumHeight(18);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(cbo_filename, 1);
    fileRow->addWidget(spd_clear);
    fileRow->addWidget(btn_browes);
    layout->addLayout(fileRow);
    layout->addWidget(Panel1);
    layout->addWidget(chk_close);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btn_send);
    buttons->addWidget(btn_cancel);
    buttons->addStretch(1);
    buttons->addWidget(btn_close);
    layout->addLayout(buttons);
    layout->addWidget(ProgressBar1);
    layout->addWidget(Panel2);
    // A fixed dialog border, at the size the controls need.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(btn_browes, &QPushButton::clicked, this, &Tfrm_text::btn_browesClick);
    connect(spd_clear, &QToolButton::clicked, this, &Tfrm_text::spd_clearClick);
    connect(cbo_filename, &QComboBox::currentTextChanged, this, &Tfrm_text::cbo_filenameChange);
    connect(btn_send, &QPushButton::clicked, this, &Tfrm_text::btn_sendClick);
    connect(btn_cancel, &QPushButton::clicked, this, &Tfrm_text::btn_cancelClick);
    connect(btn_close, &QPushButton::clicked, this, &Tfrm_text::btn_closeClick);
    connect(spd_clrtext, &QToolButton::clicked, this, &Tfrm_text::spd_clrtextClick);

    m_chooseFile = [this](int& filterIndex) { return dialog_parts::browseForFile(this, kFilter, filterIndex); };

    // Settings, in the order the section lists them.
    merovan::IniFile ini(main.settingsPath());
    ini.load();
    const auto top = ini.readInteger(kSection, "Top", main.y() + 25);
    const auto left = ini.readInteger(kSection, "Left", main.x() + 120);
    move(static_cast<int>(left), static_cast<int>(top));
    chk_close->setChecked(ini.readBool(kSection, "Close", true));
    chk_eol->setChecked(ini.readBool(kSection, "Eol", true));
    chk_err->setChecked(ini.readBool(kSection, "Err", false));
    chk_delay->setChecked(ini.readBool(kSection, "Delay", false));
    recent_list::restore(cbo_filename, ini, kSection, "FileNames", "ItemIndex", true);
    m_filterIndex = static_cast<int>(ini.readInteger(kSection, "Filter", 0));
    recent_list::restore(cbo_send, ini, kSection, "SendText", "SendItemIndex", false);
    chk_send->setChecked(ini.readBool(kSection, "SendChecked", false));

    main.frm_text = this;
    main.setDialog(Tfrm_Main::Dialog::Text, this, this);
    main.addSendButton(btn_send);
}

void Tfrm_text::saveSettings(merovan::IniFile& ini) const
{
    const QPoint corner = dialog_parts::keptCorner(*this, m_main);
    ini.writeInteger(kSection, "Top", corner.y());
    ini.writeInteger(kSection, "Left", corner.x());
    ini.writeBool(kSection, "Close", chk_close->isChecked());
    ini.writeBool(kSection, "Eol", chk_eol->isChecked());
    ini.writeBool(kSection, "Err", chk_err->isChecked());
    ini.writeBool(kSection, "Delay", chk_delay->isChecked());
    recent_list::save(cbo_filename, ini, kSection, "ItemIndex", "FileCount", "FileNames");
    ini.writeInteger(kSection, "Filter", m_filterIndex);
    recent_list::save(cbo_send, ini, kSection, "SendItemIndex", "SendCount", "SendText");
    ini.writeBool(kSection, "SendChecked", chk_send->isChecked());
}

void Tfrm_text::setFileChooser(std::function<QString(int&)> chooser)
{
    m_chooseFile = std::move(chooser);
}

void Tfrm_text::btn_browesClick()
{
    const QString path = m_chooseFile(m_filterIndex);
    if (path.isEmpty())
        return; // cancelled: nothing changes
    recent_list::appendAndSelect(cbo_filename, path);
    cbo_filename->setToolTip(path);
}

void Tfrm_text::spd_clearClick()
{
    recent_list::clear(cbo_filename);
}

void Tfrm_text::cbo_filenameChange()
{
    recent_list::updateFileHint(cbo_filename);
}

void Tfrm_text::btn_sendClick()
{
    // The status line then says what became of the transfer.
    m_main.Transfer1();
}

void Tfrm_text::btn_cancelClick()
{
    m_main.btn_cancelClick();
}

void Tfrm_text::btn_closeClick()
{
    m_main.spd_settingsClick();
}

void Tfrm_text::cbo_sendKeyDown(int key)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return;
    const QString text = cbo_send->currentText();
    if (!text.isEmpty())
        recent_list::appendAndSelect(cbo_send, text);
    Panel2->setText(QStringLiteral("Item added: ") + text);
}

void Tfrm_text::spd_clrtextClick()
{
    recent_list::clear(cbo_send);
}

bool Tfrm_text::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == cbo_send || watched == cbo_send->lineEdit()) && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            cbo_sendKeyDown(key->key());
            return true; // the dialog's default button must not fire
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Tfrm_Main::Transfer1()
{
    Tfrm_text* dialog = frm_text;
    if (!dialog)
        return;
    TransferPanel panel;
    panel.which = Dialog::Text;
    panel.fileBox = dialog->cbo_filename;
    panel.bar = dialog->ProgressBar1;
    panel.cancelButton = dialog->btn_cancel;
    panel.closeBox = dialog->chk_close;
    panel.status = dialog->Panel2;
    runTransfer(
        panel,
        [this, dialog](merovan::TransferRequest& request) {
            if (dialog->chk_send->isChecked())
                request.sendFirst = encodeText(dialog->cbo_send->currentText());
            request.eolWaitChar = dialog->chk_eol->isChecked() ? byteValue(dialog->edt_eol) : 0;
            request.errorChar = dialog->chk_err->isChecked() ? byteValue(dialog->edt_err) : 0;
            request.eolDelay = dialog->chk_delay->isChecked() ? byteValue(dialog->edt_delay) : 0;
        },
        merovan::sendTextFile, merovan::transfer1Message);
}
