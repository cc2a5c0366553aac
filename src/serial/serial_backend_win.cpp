// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/network_port.h"
#include "serial/serial_backend.h"

#include "common/system_error.h"
#include "serial/windows_ports_p.h"

#include <windows.h>

#include <functional>

namespace merovan {

namespace {

// How often the output queue is looked at while waiting for it to empty.
constexpr DWORD kSentPollMs = 5;
// A break as long as Linux's tcsendbreak(fd, 0) makes, within its quarter to
// half a second.
constexpr DWORD kBreakMs = 300;

int lastError(std::string& reason)
{
    const int err = static_cast<int>(GetLastError());
    reason = systemErrorText(err);
    return err;
}

class WinBackend final : public SerialBackend
{
public:
    ~WinBackend() override { close(); }

    int open(const std::string& path, std::string& reason) override
    {
        close();
        // Exclusive (no sharing) and synchronous: every call returns when the
        // driver is done with it, within the time-outs set below.
        HANDLE h = CreateFileA(detail::devicePathOf(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return lastError(reason);

        DCB dcb {};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(h, &dcb)) {
            const int err = lastError(reason);
            if (err == ERROR_INVALID_FUNCTION || err == ERROR_INVALID_HANDLE)
                reason = "not a serial device";
            CloseHandle(h);
            return err;
        }
        // Raw bytes both ways: no XON/XOFF, no DSR gating, no NUL or error
        // character replacement, and a line error does not stall every
        // later call until it is cleared.
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(h, &dcb)) {
            const int err = lastError(reason);
            CloseHandle(h);
            return err;
        }
        m_handle = h;
        m_readTimeoutMs = -1;
        if (const int rc = setReadTimeout(0, reason); rc != 0) {
            close();
            return rc;
        }
        m_dtr = dcb.fDtrControl == DTR_CONTROL_ENABLE;
        m_rts = dcb.fRtsControl == RTS_CONTROL_ENABLE;
        m_flow = false;
        m_name = detail::canonicalPortName(path);
        m_device = detail::comNumber(m_name);
        if (m_device == 0)
            m_device = std::hash<std::string> {}(m_name) | 1u;
        detail::noteHeldHere(m_name, true);
        return 0;
    }

    void close() override
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        detail::noteHeldHere(m_name, false);
        m_name.clear();
        m_device = 0;
    }

    bool isOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }

    int applyLine(const LineParams& params, std::string& reason) override
    {
        if (!isOpen())
            return notOpenError();
        // The driver would take a wider range, but the UART cannot make
        // these: 4 data bits are Windows' own lower limit.
        if (params.dataBits < 4 || params.dataBits > 8) {
            reason = std::to_string(params.dataBits) + " data bits are not supported on this system";
            return ERROR_INVALID_PARAMETER;
        }
        if (params.baudRate == 0) {
            reason = "a baud rate of 0 is not valid";
            return ERROR_INVALID_PARAMETER;
        }
        DCB dcb {};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(m_handle, &dcb))
            return lastError(reason);
        dcb.BaudRate = params.baudRate;
        dcb.ByteSize = static_cast<BYTE>(params.dataBits);
        dcb.Parity = static_cast<BYTE>(params.parity == 1 ? ODDPARITY : params.parity == 2 ? EVENPARITY : NOPARITY);
        dcb.fParity = params.parity == 1 || params.parity == 2;
        if (params.stopBits == 1)
            dcb.StopBits = ONESTOPBIT;
        else if (params.stopBits == 2)
            dcb.StopBits = TWOSTOPBITS;
        dcb.fOutxCtsFlow = params.hardwareFlow;
        // The modem lines stay as last driven; only handshaking takes RTS over.
        dcb.fRtsControl = params.hardwareFlow ? RTS_CONTROL_HANDSHAKE : m_rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        dcb.fDtrControl = m_dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        if (!SetCommState(m_handle, &dcb))
            return lastError(reason);
        m_flow = params.hardwareFlow;
        return 0;
    }

    std::uint32_t appliedBaud() const override
    {
        DCB dcb {};
        dcb.DCBlength = sizeof dcb;
        if (!isOpen() || !GetCommState(m_handle, &dcb))
            return 0;
        return dcb.BaudRate;
    }

    // Through the DCB, as every other line setting: SetCommState with
    // DTR_CONTROL_ENABLE or _DISABLE raises or drops the line at once.
    int setModemLine(ModemLine line, bool on) override
    {
        if (!isOpen())
            return notOpenError();
        (line == ModemLine::Dtr ? m_dtr : m_rts) = on;
        // Under handshaking the driver owns RTS; the wish is kept for when
        // handshaking ends.
        if (line == ModemLine::Rts && m_flow)
            return 0;
        DCB dcb {};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(m_handle, &dcb))
            return static_cast<int>(GetLastError());
        if (line == ModemLine::Dtr)
            dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        else
            dcb.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        if (!SetCommState(m_handle, &dcb))
            return static_cast<int>(GetLastError());
        return 0;
    }

    ReadResult read(std::span<std::uint8_t> buffer, int timeoutMs) override
    {
        ReadResult result;
        if (!isOpen()) {
            result.error = notOpenError();
            return result;
        }
        std::string reason;
        if (const int rc = setReadTimeout(timeoutMs, reason); rc != 0) {
            result.error = rc;
            result.disconnected = isDeviceGoneError(rc);
            return result;
        }
        DWORD got = 0;
        if (ReadFile(m_handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            result.count = got;
            // A read that found nothing is either a quiet line or a USB
            // adapter that was pulled out: only the driver's status tells.
            if (got == 0 && lineGone())
                result.disconnected = true;
            return result;
        }
        const int err = static_cast<int>(GetLastError());
        if (err == ERROR_OPERATION_ABORTED && !lineGone())
            return result; // a line error stopped the read; it is cleared now
        result.error = err;
        result.disconnected = isDeviceGoneError(err) || lineGone();
        return result;
    }

    int write(std::span<const std::uint8_t> bytes) override
    {
        if (!isOpen())
            return notOpenError();
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD n = 0;
            if (!WriteFile(m_handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr)) {
                const int err = static_cast<int>(GetLastError());
                if (err == ERROR_OPERATION_ABORTED && !lineGone())
                    continue;
                return lineGone() && !isDeviceGoneError(err) ? deviceGoneError() : err;
            }
            done += n;
            // Without a write time-out the driver takes everything; a short
            // write means the device is no longer there to take it.
            if (n == 0) {
                if (lineGone())
                    return deviceGoneError();
                Sleep(1);
            }
        }
        return 0;
    }

    int waitSent(int timeoutMs) override
    {
        if (!isOpen())
            return notOpenError();
        for (int waited = 0;; waited += static_cast<int>(kSentPollMs)) {
            COMSTAT stat {};
            DWORD errors = 0;
            if (!ClearCommError(m_handle, &errors, &stat)) {
                const int err = static_cast<int>(GetLastError());
                return isDeviceGoneError(err) ? err : 0;
            }
            if (stat.cbOutQue == 0)
                return 0;
            if (waited >= timeoutMs)
                return ERROR_TIMEOUT;
            Sleep(kSentPollMs);
        }
    }

    std::size_t outputQueued() const override
    {
        COMSTAT stat {};
        DWORD errors = 0;
        if (!isOpen() || !ClearCommError(m_handle, &errors, &stat))
            return 0;
        return stat.cbOutQue;
    }

    int modemLines(ModemStatus& status) override
    {
        if (!isOpen())
            return notOpenError();
        DWORD bits = 0;
        if (!GetCommModemStatus(m_handle, &bits))
            return static_cast<int>(GetLastError());
        status.cts = (bits & MS_CTS_ON) != 0;
        status.dsr = (bits & MS_DSR_ON) != 0;
        status.dcd = (bits & MS_RLSD_ON) != 0;
        status.ri = (bits & MS_RING_ON) != 0;
        return 0;
    }

    int sendBreak() override
    {
        if (!isOpen())
            return notOpenError();
        if (!SetCommBreak(m_handle))
            return static_cast<int>(GetLastError());
        Sleep(kBreakMs);
        if (!ClearCommBreak(m_handle))
            return static_cast<int>(GetLastError());
        return 0;
    }

    std::uint64_t deviceId() const override { return m_device; }

private:
    // Reads wait at most timeoutMs for a first byte and return as soon as
    // one has come, with whatever else has arrived; 0 returns at once.
    int setReadTimeout(int timeoutMs, std::string& reason)
    {
        if (timeoutMs == m_readTimeoutMs)
            return 0;
        COMMTIMEOUTS t {};
        t.ReadIntervalTimeout = MAXDWORD;
        if (timeoutMs > 0) {
            t.ReadTotalTimeoutMultiplier = MAXDWORD;
            t.ReadTotalTimeoutConstant = static_cast<DWORD>(timeoutMs);
        }
        // No write time-out: a write returns when the driver has taken every
        // byte, which under CTS flow control waits for the device.
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = 0;
        if (!SetCommTimeouts(m_handle, &t))
            return lastError(reason);
        m_readTimeoutMs = timeoutMs;
        return 0;
    }

    // Whether the driver says the device has gone. ClearCommError also
    // clears a pending line error, which would otherwise stop every read.
    bool lineGone() const
    {
        COMSTAT stat {};
        DWORD errors = 0;
        if (ClearCommError(m_handle, &errors, &stat))
            return false;
        const int err = static_cast<int>(GetLastError());
        return isDeviceGoneError(err);
    }

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::string m_name;
    std::uint64_t m_device = 0;
    int m_readTimeoutMs = -1;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_flow = false;
};

} // namespace

std::unique_ptr<SerialBackend> makeDeviceBackend()
{
    return std::make_unique<WinBackend>();
}

} // namespace merovan
