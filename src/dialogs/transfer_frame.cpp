// SPDX-License-Identifier: GPL-3.0-or-later
// The frame shared by the transfer drivers of the terminal window.

#include "app/main_window.h"
#include "app/terminal_view.h"
#include "dialogs/recent_list.h"
#include "serial/clock.h"
#include "serial/serial_port.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

namespace {
constexpr std::uint8_t kCarriageReturn = 13;
}

void Tfrm_Main::addSendButton(QAbstractButton* button)
{
    m_sendButtons.push_back(button);
    button->setEnabled(!m_transferRunning);
}

void Tfrm_Main::btn_cancelClick()
{
    cancelRequested = 1;
}

void Tfrm_Main::beginTransfer(QWidget* cancelButton)
{
    m_transferRunning = true;
    for (QAbstractButton* b : m_sendButtons)
        b->setEnabled(false);
    cancelButton->setVisible(true);
    cancelRequested = 0;
    setPolling(false);
}

// Up to the closing CR; the send buttons come back after the caller's own
// restoring.
void Tfrm_Main::endTransfer(QWidget* cancelButton, bool closingCr)
{
    cancelButton->setVisible(false);
    setPolling(true);
    RichEdit1->setFocus();
    if (closingCr)
        m_port.writeByte(kCarriageReturn);
}

int Tfrm_Main::runTransfer(const TransferPanel& panel, const std::function<void(merovan::TransferRequest&)>& fill,
                           const Routine& routine, std::string (*messageFor)(int), const TransferHooks& hooks)
{
    if (m_transferRunning)
        return -1;
    if (panel.fileBox->currentText().isEmpty()) {
        showMessage(QStringLiteral("No file selected"));
        return -1;
    }
    if (panel.needsPort && !m_port.isOpen()) {
        showMessage(QStringLiteral("COM port not open"));
        return -1;
    }

    merovan::TransferRequest request(m_port);
    request.fileName = recent_list::toBytes(panel.fileBox->currentText());
    fill(request);

    beginTransfer(panel.cancelButton);
    if (hooks.before)
        hooks.before();

    QProgressBar* bar = panel.bar;
    QWidget* waitLabel = panel.waitLabel;
    const merovan::ProgressCallback progress = [this, bar, waitLabel](std::int32_t maximum, std::int32_t position) {
        if (waitLabel)
            waitLabel->hide();
        // The bar holds 16-bit values, as the routines expect. A maximum of
        // 0 (an empty file) would make it a busy bar.
        bar->setMaximum(std::max(1, maximum & 0xFFFF));
        bar->setValue(position & 0xFFFF);
        QApplication::processEvents();
        return cancelRequested != 0 ? 1 : 0;
    };
    // Waits between the reports keep the window alive too, and hear the
    // cancel button.
    request.serve = [this] {
        QApplication::processEvents();
        return cancelRequested != 0;
    };
    if (panel.status)
        panel.status->clear();
    // The cancel button is drawn before the first byte goes out.
    QApplication::processEvents();
    const std::uint64_t startMs = merovan::SteadyClock().nowMs();
    const std::uint64_t writtenBefore = m_port.bytesWritten();
    const int result = merovan::toInt(routine(request, progress));
    const std::uint64_t sent = m_port.bytesWritten() - writtenBefore;
    const std::uint64_t elapsedMs = merovan::SteadyClock().nowMs() - startMs;

    // What the device said while the transfer read the line (its echoes,
    // its error text) comes to the view before the verdict does.
    if (!request.deviceOutput.empty())
        Show_text(RichEdit1, request.deviceOutput);
    if (hooks.beforeMessage)
        hooks.beforeMessage(result);
    const auto local = [](const std::string& s) { return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size())); };
    if (result != 0) {
        // The fixed message stays as it is; the bottom panel and the
        // dialog's status line say which file and why.
        const QString message = QString::fromStdString(messageFor(result));
        if (!request.detail.empty())
            Panel2->setText(local(request.detail));
        if (panel.status)
            panel.status->setText(request.detail.empty() ? message : message + QStringLiteral(": ") + local(request.detail));
        showMessage(message);
    } else {
        const QString summary = QString::fromStdString(hooks.summary ? hooks.summary(request)
                                                                     : merovan::sentSummary(sent, elapsedMs));
        if (panel.status)
            panel.status->setText(summary);
        // What was left out on purpose is said in the bottom line too.
        if (!request.note.empty())
            Panel2->setText(summary);
    }

    bar->setValue(0);
    endTransfer(panel.cancelButton, panel.sendsToPort);
    if (hooks.after)
        hooks.after();
    m_transferRunning = false;
    for (QAbstractButton* b : m_sendButtons)
        b->setEnabled(true);
    if (panel.closeBox->isChecked() && result == 0)
        toggleDialog(panel.which);
    return result;
}

merovan::FileTransferOutcome Tfrm_Main::runFileTransfer(QWidget* cancelButton, const FileRoutine& routine,
                                                        const FileTransferHooks& hooks)
{
    merovan::FileTransferOutcome outcome;
    outcome.result = -1;
    if (m_transferRunning)
        return outcome;
    if (!m_port.isOpen()) {
        showMessage(QStringLiteral("COM port not open"));
        return outcome;
    }

    beginTransfer(cancelButton);
    if (hooks.before)
        hooks.before();
    const merovan::FileProgressCallback progress = [this, &hooks](const merovan::FileTransferProgress& p) {
        if (hooks.progress)
            hooks.progress(p);
        QApplication::processEvents();
        return cancelRequested != 0;
    };
    outcome = routine(m_port, progress);
    if (hooks.finished)
        hooks.finished(outcome);

    // The fixed message first, what was wrong (or what moved) under it.
    std::string detail = outcome.detail;
    if (outcome.result == 0 && hooks.summary)
        detail = hooks.summary(outcome);
    if (outcome.result == 0 && !outcome.note.empty())
        detail += (detail.empty() ? "" : "\n") + outcome.note;
    const QString detailText = QString::fromLocal8Bit(detail.data(), static_cast<qsizetype>(detail.size()));
    Panel2->setText(detailText);
    QString message = QString::fromStdString(merovan::fileTransferMessage(outcome.result));
    if (!detailText.isEmpty())
        message += QLatin1Char('\n') + detailText;
    showMessage(message);

    endTransfer(cancelButton);
    m_transferRunning = false;
    for (QAbstractButton* b : m_sendButtons)
        b->setEnabled(true);
    return outcome;
}
