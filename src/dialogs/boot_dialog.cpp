// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/boot_dialog.h"

#include "app/icons.h"
#include "app/main_window.h"
#include "common/text_value.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/recent_list.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"
#include "transfer/boot_loader.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

using dialog_parts::named;

namespace {

constexpr char kSection[] = "BootFORM";
constexpr char kFilter[] = "Hex files (*.hex *.HEX);;Binary files (*.bin *.BIN);;All files (*)";
// Kilobytes beyond this would not fit the request's 32-bit byte count.
constexpr std::int64_t kMaxFlashKb = (0x7FFFFFFF - 8192) / 1024;

} // namespace

Tfrm_boot::Tfrm_boot(Tfrm_Main& main)
    : QDialog(&main)
    , m_main(main)
{
    setObjectName(QStringLiteral("Tfrm_boot"));
    setWindowTitle(QStringLiteral("Application (boot) Loader"));
    setModal(false);

    Label1 = named(new QLabel(QStringLiteral("Boot / Application loader for Kestrane devices."), this), "Label1");
    GroupBox1 = named(new QGroupBox(QStringLiteral("Select file to download"), this), "GroupBox1");
    cbo_filename = named(new QComboBox(GroupBox1), "cbo_filename");
    cbo_filename->setEditable(true);
    cbo_filename->setInsertPolicy(QComboBox::NoInsert);
    btn_browse = named(new QPushButton(QStringLiteral("Browse"), GroupBox1), "btn_browse");
    SpeedButton1 = named(new QToolButton(GroupBox1), "SpeedButton1");
    SpeedButton1->setToolTip(QStringLiteral("Clear all Item"));
    SpeedButton1->setIcon(makeButtonIcon(ButtonIcon::Clear));
    chk_allflash = named(new QCheckBox(QStringLiteral("Erase all flash"), GroupBox1), "chk_allflash");
    auto* group = new QVBoxLayout(GroupBox1);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(cbo_filename, 1);
    fileRow->addWidget(SpeedButton1);
    fileRow->addWidget(btn_browse);
    group->addLayout(fileRow);
    group->addWidget(chk_allflash);

    grp_hex = named(new QGroupBox(QStringLiteral("Flash Size (Total flash on chip)"), this), "grp_hex");
    edt_flashsize = named(new QLineEdit(QStringLiteral("512"), grp_hex), "edt_flashsize");
    edt_flashsize->setToolTip(QStringLiteral("Specify the total available flash in k"));
    auto* flash = new QHBoxLayout(grp_hex);
    flash->addWidget(edt_flashsize);

    btn_send = named(new QPushButton(QStringLiteral("Send"), this), "btn_send");
    btn_close = named(new QPushButton(QStringLiteral("Close"), this), "btn_close");
    chk_close = named(new QCheckBox(QStringLiteral("Close on complete"), this), "chk_close");
    btn_cancelsend = named(new QPushButton(QStringLiteral("Cancel Send"), this), "btn_cancelsend");
    btn_cancelsend->setVisible(false);
    ProgressBar1 = named(new QProgressBar(this), "ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    lbl_wait = named(new QLabel(QStringLiteral("Wait.."), this), "lbl_wait");
    QFont waitFont = lbl_wait->font();
    waitFont.setBold(true);
    waitFont.setPixelSize(16);
    lbl_wait->setFont(waitFont);
    lbl_wait->setVisible(false);
    lbl_status = named(new QLabel(this), "lbl_status");
    lbl_status->setTextFormat(Qt::PlainText);
    lbl_status->setWordWrap(true);
    lbl_status->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(GroupBox1);
    auto* middle = new QHBoxLayout;
    middle->addWidget(grp_hex);
    middle->addWidget(lbl_wait);
    layout->addLayout(middle);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btn_send);
    buttons->addWidget(btn_cancelsend);
    buttons->addWidget(chk_close);
    buttons->addStretch(1);
    buttons->addWidget(btn_close);
    layout->addLayout(buttons);
    layout->addWidget(ProgressBar1);
    layout->addWidget(lbl_status);
    // A fixed dialog border, at the size the controls need.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(btn_browse, &QPushButton::clicked, this, &Tfrm_boot::btn_browseClick);
    connect(SpeedButton1, &QToolButton::clicked, this, &Tfrm_boot::SpeedButton1Click);
    connect(cbo_filename, &QComboBox::currentTextChanged, this, &Tfrm_boot::cbo_filenameChange);
    connect(btn_send, &QPushButton::clicked, this, &Tfrm_boot::btn_sendClick);
    connect(btn_cancelsend, &QPushButton::clicked, this, &Tfrm_boot::btn_cancelsendClick);
    connect(btn_close, &QPushButton::clicked, this, &Tfrm_boot::btn_closeClick);

    m_chooseFile = [this](int& filterIndex) { return dialog_parts::browseForFile(this, kFilter, filterIndex); };

    merovan::IniFile ini(main.settingsPath());
    ini.load();
    const auto top = ini.readInteger(kSection, "Top", main.y() + 115);
    const auto left = ini.readInteger(kSection, "Left", main.x() + 120);
    move(static_cast<int>(left), static_cast<int>(top));
    recent_list::restore(cbo_filename, ini, kSection, "FileNames", "ItemIndex", true);
    m_filterIndex = static_cast<int>(ini.readInteger(kSection, "Filter", 0));
    edt_flashsize->setText(recent_list::fromBytes(ini.readString(kSection, "FlashSize", "512")));
    chk_close->setChecked(ini.readBool(kSection, "Close", true));

    main.frm_boot = this;
    main.setDialog(Tfrm_Main::Dialog::Boot, this, this);
    main.addSendButton(btn_send);
}

void Tfrm_boot::saveSettings(merovan::IniFile& ini) const
{
    const QPoint corner = dialog_parts::keptCorner(*this, m_main);
    ini.writeInteger(kSection, "Top", corner.y());
    ini.writeInteger(kSection, "Left", corner.x());
    recent_list::save(cbo_filename, ini, kSection, "ItemIndex", "FileCount", "FileNames");
    ini.writeInteger(kSection, "Filter", m_filterIndex);
    ini.writeString(kSection, "FlashSize", recent_list::toBytes(edt_flashsize->text()));
    ini.writeBool(kSection, "Close", chk_close->isChecked());
}

void Tfrm_boot::setFileChooser(std::function<QString(int&)> chooser)
{
    m_chooseFile = std::move(chooser);
}

void Tfrm_boot::btn_browseClick()
{
    const QString path = m_chooseFile(m_filterIndex);
    if (path.isEmpty())
        return;
    recent_list::appendAndSelect(cbo_filename, path);
}

void Tfrm_boot::SpeedButton1Click()
{
    recent_list::clear(cbo_filename);
}

void Tfrm_boot::cbo_filenameChange()
{
    recent_list::updateFileHint(cbo_filename);
}

void Tfrm_boot::btn_sendClick()
{
    lbl_wait->show();
    QApplication::processEvents();
    m_main.bootLoader();
    lbl_wait->hide();
}

void Tfrm_boot::btn_cancelsendClick()
{
    m_main.btn_cancelClick();
}

void Tfrm_boot::btn_closeClick()
{
    m_main.spb_bootClick();
}

void Tfrm_Main::bootLoader()
{
    Tfrm_boot* dialog = frm_boot;
    if (!dialog)
        return;
    // A flash size that is no number of kilobytes would size the image at
    // random; refuse it before anything happens.
    const std::string sizeText = recent_list::toBytes(dialog->edt_flashsize->text());
    const std::int64_t kb = merovan::decimalValue(sizeText);
    const auto firstDigit = sizeText.find_first_not_of(" \t+");
    if (firstDigit == std::string::npos || sizeText[firstDigit] < '0' || sizeText[firstDigit] > '9' || kb <= 0
        || kb > kMaxFlashKb) {
        if (!dialog->cbo_filename->currentText().isEmpty() && m_port.isOpen()) {
            showMessage(QStringLiteral("Flash size must be a number of kilobytes"));
            return;
        }
    }
    TransferPanel panel;
    panel.which = Dialog::Boot;
    panel.fileBox = dialog->cbo_filename;
    panel.bar = dialog->ProgressBar1;
    panel.cancelButton = dialog->btn_cancelsend;
    panel.closeBox = dialog->chk_close;
    panel.waitLabel = dialog->lbl_wait;
    panel.status = dialog->lbl_status;
    TransferHooks hooks;
    // The loader talks without flow control; CTS comes back afterwards when
    // the menu asks for it.
    hooks.before = [this] { m_port.setCtsFlow(false); };
    hooks.after = [this] {
        if (mnu_cts->isChecked())
            m_port.setCtsFlow(true);
    };
    hooks.summary = [](const merovan::TransferRequest& request) { return merovan::bootLoadSummary(request); };
    runTransfer(
        panel,
        [dialog, kb](merovan::TransferRequest& request) {
            request.flashSize = static_cast<std::int32_t>(kb * 1024);
            request.eraseSize = dialog->chk_allflash->isChecked() ? static_cast<std::int32_t>(kb) : 0;
        },
        [](merovan::TransferRequest& request, const merovan::ProgressCallback& progress) {
            return static_cast<merovan::TransferResult>(merovan::runBootLoader(request, progress));
        },
        merovan::bootLoaderMessage, hooks);
}
