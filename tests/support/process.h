// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

namespace merovan::test {

struct RunResult
{
    int exitCode = -1; // -1 when killed or not started
    std::string out;
    std::string err;
};

// Runs a program to completion with the given arguments, capturing its
// output. It is killed after timeoutMs.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args, int timeoutMs = 20000);

// merovan-devsim running in the background on its own pseudo-terminal.
class Devsim
{
public:
    explicit Devsim(const std::vector<std::string>& args);
    ~Devsim();
    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;

    const std::string& port() const { return m_port; }
    // Stops it with SIGTERM and returns its exit code.
    int stop();
    bool running();

private:
    int m_pid = -1;
    int m_status = -1;
    std::string m_port;
};

// Any program running in the background until destroyed (SIGTERM).
class Background
{
public:
    Background(const std::string& program, const std::vector<std::string>& args);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    int pid() const { return m_pid; }

private:
    int m_pid = -1;
};

// merovan-ptybridge in the background: two pseudo-terminals joined as one
// link, with the faults and pacing its arguments ask for.
class PtyBridge
{
public:
    explicit PtyBridge(const std::vector<std::string>& args = {});
    ~PtyBridge();
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    const std::string& a() const { return m_a; }
    const std::string& b() const { return m_b; }
    // With a peer program: waits for the bridge to end and gives the
    // program's exit status; -1 when it did not end within timeoutMs.
    int wait(int timeoutMs = 20000);

private:
    int m_pid = -1;
    std::string m_a;
    std::string m_b;
};

// Runs a shell command line to completion (sh -c), as runProgram does.
RunResult runShell(const std::string& command, int timeoutMs = 20000);

// Reads a whole file; empty when missing.
std::string readFile(const std::string& path);

// Waits until the file holds at least size bytes, up to timeoutMs.
bool waitForFileSize(const std::string& path, std::size_t size, int timeoutMs = 5000);

std::string tempPath(const std::string& stem);

} // namespace merovan::test
