// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "automation/ansi_strip.h"
#include "automation/script_host.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct lua_State;

namespace merovan {

class Clock;
class LuaState;
class SerialPort;
class ScriptHost;
class WallClock;

struct ScriptOptions
{
    // Opens os.execute, io.popen and loading C modules, for scripts the user
    // trusts.
    bool allowExec = false;
    // What sendln() ends a line with, unless the script sets merovan.enter.
    std::string enter = "\r";
    // expect, read and readline without a time-out wait this long.
    std::uint32_t defaultTimeoutMs = 10000;
    // A script that runs this many Lua instructions without waiting for the
    // device (expect, read, readline, sleep) is taken for a runaway loop
    // and stopped, since while it runs nothing else can.
    std::uint64_t instructionLimit = 500'000'000;
    std::size_t memoryLimitBytes = 256u << 20;
};

inline constexpr std::uint64_t kNoScriptDeadline = std::numeric_limits<std::uint64_t>::max();

// Exit statuses besides the script's own.
inline constexpr int kScriptOk = 0;
inline constexpr int kScriptError = 1;

// Runs one Lua script against a port as a coroutine. The script runs inside
// resume() until it waits for the device or for time (expect, read,
// readline, sleep); then resume() returns, and the caller gives it what the
// device sends (feed) and calls resume() again when input came or the
// deadline passed. The window drives it from its event loop, the command
// line from a blocking loop (runScriptToEnd), tests in virtual time.
//
// The runner never reads the port itself: whoever drives it reads, shows
// what came and feeds it. It writes to the port directly.
class ScriptRunner
{
public:
    enum class State { Ready, Waiting, Finished };

    ScriptRunner(SerialPort& port, Clock& clock, const WallClock& wall, ScriptHost& host, ScriptOptions options = {});
    ~ScriptRunner();
    ScriptRunner(const ScriptRunner&) = delete;
    ScriptRunner& operator=(const ScriptRunner&) = delete;

    // Loads a script file (or a chunk of text named name) with the values of
    // merovan.args. False when it cannot be loaded (missing file, syntax
    // error): the runner is then Finished with status 1 and error() saying
    // why, with the file and line.
    bool loadFile(const std::string& path, const std::vector<std::string>& args);
    bool loadText(std::string_view text, const std::string& name, const std::vector<std::string>& args);

    // Runs the script until it waits or ends. A waiting script is resumed
    // only when what it waits for is there (a match, a line, input, its
    // deadline, a lost port, a stop request); otherwise this returns at once.
    State resume();

    // What the device sent, in arrival order; escape sequences are removed
    // before the script sees it. The buffer keeps at most the last
    // kInputLimit bytes that no expect or read has consumed.
    void feed(std::span<const std::uint8_t> bytes);
    static constexpr std::size_t kInputLimit = 1u << 20;

    // Ends the script at its next wait, or within a few thousand
    // instructions when it is running. Safe from a signal handler or another
    // thread; everything else is for the driving thread only.
    void cancel() { m_cancel.store(true); }
    bool cancelRequested() const { return m_cancel.load(); }

    State state() const { return m_state; }
    bool finished() const { return m_state == State::Finished; }
    // While Waiting: when resume() has work even without input, on the
    // runner's clock; kNoScriptDeadline when only input or a stop can help.
    std::uint64_t deadline() const;
    // The exit status once Finished: 0, os.exit's value, or 1 after an
    // uncaught error or a stop.
    int exitStatus() const { return m_exitStatus; }
    // Why the script ended with an error: "login.lua:7: attempt to call a nil
    // value", "Script stopped"; empty after a normal end or os.exit.
    const std::string& error() const { return m_error; }
    // The script's file name as given, for the window's bar.
    const std::string& name() const { return m_name; }
    // Input received and not yet consumed.
    const std::string& pendingInput() const { return m_input; }

    // The Lua bindings; public only for the C functions of the API.
    struct Api;

private:
    enum class Wait { None, Expect, Read, ReadLine, Sleep, Exit };
    bool load(int loadResult, const std::vector<std::string>& args);
    void finish(int status, std::string error);
    // Pushes the results of the current wait onto the script's thread when
    // it is over; the number of results, 0 while it goes on.
    int completeWait(lua_State* running);
    int pushMatch(lua_State* running);
    int beginWait(lua_State* L, Wait wait, std::uint32_t timeoutMs);
    // Raises reason as an error that every later instruction raises again,
    // so no pcall of the script can keep it going.
    [[noreturn]] void kill(lua_State* L, const char* reason);
    // completeWait's answers besides a number of results.
    static constexpr int kWaitStopped = -1;
    static constexpr int kWaitFailed = -2;

    SerialPort& m_port;
    Clock& m_clock;
    const WallClock& m_wall;
    ScriptHost& m_host;
    ScriptOptions m_options;
    std::unique_ptr<LuaState> m_lua;
    lua_State* m_thread = nullptr;
    int m_threadRef = 0;
    int m_findRef = 0; // string.find
    int m_apiRef = 0;  // the merovan table
    State m_state = State::Ready;
    std::atomic<bool> m_cancel { false };
    int m_exitStatus = 0;
    std::string m_error;
    std::string m_name;

    AnsiStripper m_stripper;
    std::string m_input;
    bool m_inputChanged = true;

    Wait m_wait = Wait::None;
    std::vector<std::string> m_patterns;
    std::uint64_t m_deadline = kNoScriptDeadline;
    std::uint32_t m_timeoutMs = 0;
    std::string m_where; // "file:line:" of the call that waits
    bool m_exitRequested = false;
    int m_exitRequest = 0; // os.exit's status while it unwinds
    std::string m_matchError;
    ScriptTransfer m_transfer; // the one a script is setting up
    std::uint64_t m_instructions = 0;
    bool m_killing = false;
    std::string m_killReason;
};

// Drives a runner until its script ends: resumes it, and between waits reads
// the port, hands each chunk to received (for display) and to the runner.
// Waiting sleeps on the port's input rather than polling where the system
// allows. stopRequested is asked between reads; when it says true the
// script is stopped. Returns the exit status.
int runScriptToEnd(ScriptRunner& runner, SerialPort& port,
                   const std::function<void(std::span<const std::uint8_t>)>& received,
                   const std::function<bool()>& stopRequested);

// Waits up to ms for input on a port's native handle; returns at once for a
// handle of -1 (the read that follows then does the waiting).
void waitForPortInput(int handle, std::uint32_t ms);

} // namespace merovan
