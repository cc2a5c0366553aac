// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/file_transfer_dialog.h"

#include "app/main_window.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/recent_list.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <array>

using dialog_parts::named;
using recent_list::fromBytes;
using recent_list::toBytes;

namespace {

constexpr char kSection[] = "FileTransfer";
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kBackspace = 0x08;
constexpr int kBarSteps = 1000;
// The labels are redrawn at most this often; a fast link reports far more.
constexpr qint64 kRefreshMs = 100;
// A summary names at most this many files.
constexpr int kNamedFiles = 5;
const QString kWaiting = QStringLiteral("Waiting for the other side");

QString number(std::int64_t value)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(static_cast<qlonglong>(value));
}

QString duration(std::int64_t seconds)
{
    const std::int64_t h = seconds / 3600;
    const std::int64_t m = seconds / 60 % 60;
    const std::int64_t s = seconds % 60;
    const QString mmss = QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
    return h > 0 ? QStringLiteral("%1:%2").arg(h).arg(mmss.rightJustified(5, QLatin1Char('0'))) : mmss;
}

std::string nativePath(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QString fromNative(const std::string& path)
{
    return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

// "2 files, 2,048 bytes: a.bin, b.bin", with where they went.
std::string summaryOf(const merovan::FileTransferOutcome& outcome, const QString& into)
{
    const auto count = static_cast<int>(outcome.files.size());
    QString text = count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
    text += QStringLiteral(", %1 bytes").arg(number(outcome.bytes));
    if (!into.isEmpty())
        text += QStringLiteral(" into ") + into;
    QStringList names;
    for (int i = 0; i < count && i < kNamedFiles; ++i)
        names << QFileInfo(fromNative(outcome.files[static_cast<std::size_t>(i)])).fileName();
    if (count > kNamedFiles)
        names << QStringLiteral("%1 more").arg(count - kNamedFiles);
    if (!names.isEmpty())
        text += QStringLiteral(": ") + names.join(QStringLiteral(", "));
    return toBytes(text);
}

} // namespace

FileTransferDialog::FileTransferDialog(Tfrm_Main& main)
    : QDialog(&main)
    , m_main(main)
{
    setObjectName(QStringLiteral("FileTransferDialog"));
    setWindowTitle(QStringLiteral("File transfer"));
    // The terminal takes no keys while a protocol owns the line.
    setWindowModality(Qt::WindowModal);

    auto caption = [this](const char* name) {
        auto* l = named(new QLabel(this), name);
        l->setTextFormat(Qt::PlainText);
        return l;
    };
    lbl_xferFile = caption("lbl_xferFile");
    lbl_xferBytes = caption("lbl_xferBytes");
    lbl_xferRate = caption("lbl_xferRate");
    lbl_xferLeft = caption("lbl_xferLeft");
    lbl_xferRetries = caption("lbl_xferRetries");
    lbl_xferFile->setMinimumWidth(300);
    pgb_xfer = named(new QProgressBar(this), "pgb_xfer");
    pgb_xfer->setRange(0, kBarSteps);
    btn_xferCancel = named(new QPushButton(QStringLiteral("Cancel"), this), "btn_xferCancel");

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("File:"), lbl_xferFile);
    form->addRow(QStringLiteral("Bytes:"), lbl_xferBytes);
    form->addRow(QStringLiteral("Rate:"), lbl_xferRate);
    form->addRow(QStringLiteral("Time left:"), lbl_xferLeft);
    form->addRow(QStringLiteral("Retries:"), lbl_xferRetries);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(pgb_xfer);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btn_xferCancel);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(btn_xferCancel, &QPushButton::clicked, this, [this] { m_main.btn_cancelClick(); });

    // The menu belongs to this dialog and goes with it.
    mnu_transfer = named(new QMenu(QStringLiteral("&Transfer"), this), "mnu_transfer");
    auto action = [this](const char* name, const char* text) {
        auto* a = mnu_transfer->addAction(QLatin1String(text));
        a->setObjectName(QLatin1String(name));
        return a;
    };
    mnu_sendFile = action("mnu_sendFile", "&Send file...");
    mnu_receiveFiles = action("mnu_receiveFiles", "&Receive files...");
    mnu_transfer->addSeparator();
    grp_protocol = named(new QActionGroup(this), "grp_protocol");
    mnu_xmodemChecksum = action("mnu_xmodemChecksum", "XMODEM (checksum)");
    mnu_xmodemCrc = action("mnu_xmodemCrc", "XMODEM (CRC)");
    mnu_xmodem1k = action("mnu_xmodem1k", "XMODEM-1K");
    mnu_ymodem = action("mnu_ymodem", "YMODEM");
    mnu_zmodem = action("mnu_zmodem", "ZMODEM");
    for (QAction* a : { mnu_xmodemChecksum, mnu_xmodemCrc, mnu_xmodem1k, mnu_ymodem, mnu_zmodem }) {
        a->setCheckable(true);
        grp_protocol->addAction(a);
    }
    mnu_transfer->addSeparator();
    mnu_xmodemStrip = action("mnu_xmodemStrip", "XMODEM: cut the SUB padding of a received file");
    mnu_zmodemResume = action("mnu_zmodemResume", "ZMODEM: resume partial files");
    mnu_zmodemAuto = action("mnu_zmodemAuto", "ZMODEM: offer to receive when the device starts");
    for (QAction* a : { mnu_xmodemStrip, mnu_zmodemResume, mnu_zmodemAuto })
        a->setCheckable(true);
    main.insertMenu(mnu_transfer);
    connect(mnu_sendFile, &QAction::triggered, this, &FileTransferDialog::mnu_sendFileClick);
    connect(mnu_receiveFiles, &QAction::triggered, this, &FileTransferDialog::mnu_receiveFilesClick);

    m_chooseSend = [this](bool several, const QString& folder) {
        if (several)
            return QFileDialog::getOpenFileNames(&m_main, QStringLiteral("Send files"), folder);
        const QString file = QFileDialog::getOpenFileName(&m_main, QStringLiteral("Send file"), folder);
        return file.isEmpty() ? QStringList() : QStringList { file };
    };
    m_chooseFolder = [this](const QString& folder) {
        return QFileDialog::getExistingDirectory(&m_main, QStringLiteral("Receive files into"), folder);
    };
    m_chooseSave = [this](const QString& suggestion) {
        return QFileDialog::getSaveFileName(&m_main, QStringLiteral("Receive file as"), suggestion);
    };
    m_askStart = [this](const QString& folder) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Merovan"), QStringLiteral("Receive files by ZMODEM?"),
            QMessageBox::Yes | QMessageBox::No, &m_main);
        box.setObjectName(QStringLiteral("msg_zmodemStart"));
        box.setInformativeText(QStringLiteral("The device is sending by ZMODEM. The files go into %1").arg(folder));
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes;
    };

    merovan::IniFile ini(main.settingsPath());
    ini.load();
    const auto stored = ini.readInteger(kSection, "Protocol", static_cast<int>(Choice::Zmodem));
    setChoice(stored >= 0 && stored <= static_cast<int>(Choice::Zmodem) ? static_cast<Choice>(stored) : Choice::Zmodem);
    mnu_xmodemStrip->setChecked(ini.readBool(kSection, "StripPadding", false));
    mnu_zmodemResume->setChecked(ini.readBool(kSection, "Resume", false));
    mnu_zmodemAuto->setChecked(ini.readBool(kSection, "AutoZmodem", true));
    m_sendDir = fromBytes(ini.readString(kSection, "SendFolder", ""));
    m_receiveDir = fromBytes(ini.readString(kSection, "ReceiveFolder", ""));
    if (m_receiveDir.isEmpty())
        m_receiveDir = QDir::homePath();
    m_xmodemFile = fromBytes(ini.readString(kSection, "XmodemFile", ""));

    main.addSettingsSection(this);
    main.setZmodemStartHandler([this] { zmodemStartSeen(); });
}

FileTransferDialog::~FileTransferDialog()
{
    m_main.setZmodemStartHandler({});
}

void FileTransferDialog::saveSettings(merovan::IniFile& ini) const
{
    ini.writeInteger(kSection, "Protocol", static_cast<int>(choice()));
    ini.writeBool(kSection, "StripPadding", mnu_xmodemStrip->isChecked());
    ini.writeBool(kSection, "Resume", mnu_zmodemResume->isChecked());
    ini.writeBool(kSection, "AutoZmodem", mnu_zmodemAuto->isChecked());
    ini.writeString(kSection, "SendFolder", toBytes(m_sendDir));
    ini.writeString(kSection, "ReceiveFolder", toBytes(m_receiveDir));
    ini.writeString(kSection, "XmodemFile", toBytes(m_xmodemFile));
}

FileTransferDialog::Choice FileTransferDialog::choice() const
{
    const std::array<QAction*, 5> order { mnu_xmodemChecksum, mnu_xmodemCrc, mnu_xmodem1k, mnu_ymodem, mnu_zmodem };
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i]->isChecked())
            return static_cast<Choice>(i);
    }
    return Choice::Zmodem;
}

void FileTransferDialog::setChoice(Choice choice)
{
    const std::array<QAction*, 5> order { mnu_xmodemChecksum, mnu_xmodemCrc, mnu_xmodem1k, mnu_ymodem, mnu_zmodem };
    order[static_cast<std::size_t>(choice)]->setChecked(true);
}

merovan::FileTransferOptions FileTransferDialog::options() const
{
    merovan::FileTransferOptions o;
    switch (choice()) {
    case Choice::XmodemChecksum:
        o.protocol = merovan::FileProtocol::Xmodem;
        o.checksum = true;
        break;
    case Choice::XmodemCrc:
        o.protocol = merovan::FileProtocol::Xmodem;
        break;
    case Choice::Xmodem1k:
        o.protocol = merovan::FileProtocol::Xmodem;
        o.oneK = true;
        break;
    case Choice::Ymodem:
        o.protocol = merovan::FileProtocol::Ymodem;
        o.oneK = true;
        break;
    case Choice::Zmodem:
        o.protocol = merovan::FileProtocol::Zmodem;
        break;
    }
    o.stripPadding = mnu_xmodemStrip->isChecked();
    o.resume = mnu_zmodemResume->isChecked();
    return o;
}

void FileTransferDialog::setSendChooser(std::function<QStringList(bool, const QString&)> chooser)
{
    m_chooseSend = std::move(chooser);
}

void FileTransferDialog::setFolderChooser(std::function<QString(const QString&)> chooser)
{
    m_chooseFolder = std::move(chooser);
}

void FileTransferDialog::setSaveChooser(std::function<QString(const QString&)> chooser)
{
    m_chooseSave = std::move(chooser);
}

void FileTransferDialog::setStartPrompt(std::function<bool(const QString&)> prompt)
{
    m_askStart = std::move(prompt);
}

void FileTransferDialog::mnu_sendFileClick()
{
    if (m_main.transferRunning())
        return;
    if (!m_main.port().isOpen()) {
        m_main.showMessage(QStringLiteral("COM port not open"));
        return;
    }
    merovan::FileTransferOptions o = options();
    const QStringList files = m_chooseSend(o.protocol != merovan::FileProtocol::Xmodem, m_sendDir);
    if (files.isEmpty())
        return;
    // A receiver already asking need not be waited for again.
    if (o.protocol != merovan::FileProtocol::Zmodem)
        o.startSeen = m_main.recentStartRequest();
    m_sendDir = QFileInfo(files.front()).absolutePath();
    std::vector<std::string> paths;
    for (const QString& f : files)
        paths.push_back(nativePath(f));
    const QString title = fromBytes(merovan::protocolName(o.protocol)) + QStringLiteral(" send");
    run(title, [paths, o](merovan::SerialPort& port, const merovan::FileProgressCallback& progress) {
        return merovan::sendFiles(port, paths, o, progress);
    });
}

void FileTransferDialog::mnu_receiveFilesClick()
{
    if (m_main.transferRunning())
        return;
    if (!m_main.port().isOpen()) {
        m_main.showMessage(QStringLiteral("COM port not open"));
        return;
    }
    merovan::FileTransferOptions o = options();
    if (o.protocol == merovan::FileProtocol::Xmodem) {
        // XMODEM carries no name: the user gives one.
        const QString suggestion
            = m_xmodemFile.isEmpty() ? QDir(m_receiveDir).filePath(QStringLiteral("received.bin")) : m_xmodemFile;
        const QString file = m_chooseSave(suggestion);
        if (file.isEmpty())
            return;
        m_xmodemFile = file;
        o.xmodemFileName = nativePath(file);
        o.receiveDir = nativePath(QFileInfo(file).absolutePath());
    } else {
        const QString folder = m_chooseFolder(m_receiveDir);
        if (folder.isEmpty())
            return;
        m_receiveDir = folder;
        o.receiveDir = nativePath(folder);
    }
    const QString title = fromBytes(merovan::protocolName(o.protocol)) + QStringLiteral(" receive");
    // An XMODEM file was named in full by the user.
    const QString into = o.protocol == merovan::FileProtocol::Xmodem ? QString() : m_receiveDir;
    run(
        title,
        [o](merovan::SerialPort& port, const merovan::FileProgressCallback& progress) {
            return merovan::receiveFiles(port, o, progress);
        },
        into);
}

void FileTransferDialog::zmodemStartSeen()
{
    if (!mnu_zmodemAuto->isChecked() || m_main.transferRunning() || !m_main.port().isOpen())
        return;
    if (!m_askStart(m_receiveDir)) {
        // Declined: the sender is told at once, as a receiver's cancel would,
        // instead of repeating its start into the terminal.
        std::vector<std::uint8_t> cancel(8, kCan);
        cancel.insert(cancel.end(), 8, kBackspace);
        m_main.port().writeBlock(cancel);
        return;
    }
    merovan::FileTransferOptions o = options();
    o.protocol = merovan::FileProtocol::Zmodem;
    o.receiveDir = nativePath(m_receiveDir);
    run(
        QStringLiteral("ZMODEM receive"),
        [o](merovan::SerialPort& port, const merovan::FileProgressCallback& progress) {
            return merovan::receiveFiles(port, o, progress);
        },
        m_receiveDir);
}

merovan::FileTransferOutcome FileTransferDialog::run(
    const QString& title, const Tfrm_Main::FileRoutine& routine, const QString& into)
{
    setWindowTitle(title);
    resetProgress();
    Tfrm_Main::FileTransferHooks hooks;
    hooks.before = [this] {
        show();
        raise();
        activateWindow();
        // Drawn now: a receiver may wait a while for its first report.
        QApplication::processEvents();
    };
    hooks.progress = [this](const merovan::FileTransferProgress& p) {
        if (!m_refreshed.isValid() || m_refreshed.elapsed() >= kRefreshMs || p.fileIndex != m_fileIndex
            || p.bytes == p.total)
            showProgress(p);
        else
            m_lastBytes = p.bytes;
    };
    hooks.finished = [this](const merovan::FileTransferOutcome&) { hide(); };
    hooks.summary = [into](const merovan::FileTransferOutcome& outcome) { return summaryOf(outcome, into); };
    return m_main.runFileTransfer(btn_xferCancel, routine, hooks);
}

void FileTransferDialog::resetProgress()
{
    m_fileIndex = 0;
    m_lastBytes = 0;
    m_doneBytes = 0;
    m_refreshed.invalidate();
    lbl_xferFile->setText(kWaiting);
    lbl_xferBytes->setText(QStringLiteral("0"));
    lbl_xferRate->clear();
    lbl_xferLeft->clear();
    lbl_xferRetries->setText(QStringLiteral("0"));
    pgb_xfer->setRange(0, kBarSteps);
    pgb_xfer->setValue(0);
}

void FileTransferDialog::showProgress(const merovan::FileTransferProgress& p)
{
    if (p.fileIndex != m_fileIndex) {
        m_doneBytes += m_lastBytes;
        m_fileIndex = p.fileIndex;
    }
    m_lastBytes = p.bytes;
    m_refreshed.start();

    QString file = fromNative(p.fileName);
    if (p.fileCount > 1)
        file += QStringLiteral(" (%1 of %2)").arg(p.fileIndex + 1).arg(p.fileCount);
    else if (p.fileCount == 0 && p.fileIndex > 0)
        file += QStringLiteral(" (file %1)").arg(p.fileIndex + 1);
    // Reports come before the first file too, while the other side starts.
    lbl_xferFile->setText(p.fileName.empty() ? kWaiting : file);
    lbl_xferBytes->setText(
        p.total >= 0 ? QStringLiteral("%1 of %2").arg(number(p.bytes), number(p.total)) : number(p.bytes));
    lbl_xferRetries->setText(QString::number(p.retries));

    // The rate over the whole session; the time left for this file.
    const std::int64_t moved = m_doneBytes + p.bytes;
    const std::int64_t rate
        = p.elapsedMs > 0 ? static_cast<std::int64_t>(static_cast<std::uint64_t>(moved) * 1000 / p.elapsedMs) : 0;
    lbl_xferRate->setText(rate > 0 ? QStringLiteral("%1 bytes/s").arg(number(rate)) : QString());
    if (p.total >= 0 && rate > 0)
        lbl_xferLeft->setText(duration((std::max<std::int64_t>(0, p.total - p.bytes) + rate - 1) / rate));
    else
        lbl_xferLeft->clear();

    if (p.total > 0) {
        pgb_xfer->setRange(0, kBarSteps);
        pgb_xfer->setValue(static_cast<int>(std::min<std::int64_t>(p.bytes, p.total) * kBarSteps / p.total));
    } else if (p.total == 0) {
        pgb_xfer->setRange(0, kBarSteps);
        pgb_xfer->setValue(kBarSteps);
    } else {
        pgb_xfer->setRange(0, 0); // size unknown: a busy bar
    }
}

void FileTransferDialog::reject()
{
    // Escape or the window's close button while a transfer runs is a cancel;
    // the dialog goes when the transfer has ended.
    if (m_main.transferRunning())
        m_main.btn_cancelClick();
    else
        QDialog::reject();
}
