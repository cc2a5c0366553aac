// SPDX-License-Identifier: GPL-3.0-or-later
#include "automation/script_runner.h"

#include "automation/lua_state.h"
#include "automation/script_host.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "serial/text_expansion.h"
#include "terminal/line_stamp.h"

#include <lua.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace merovan {

namespace {

// How often the hook looks at the instruction count and a stop request.
constexpr int kHookStep = 1000;

// Pieces of the API written in Lua over the C functions.
constexpr char kPrelude[] = R"lua(
local m = ...
function m.pulse_dtr(ms)
  local ok, err = m.dtr(true)
  if not ok then return nil, err end
  m.sleep(ms or 100)
  return m.dtr(false)
end
function m.send_break(ms)
  local ok, err = m._break()
  if not ok then return nil, err end
  if ms and ms > 0 then m.sleep(ms) end
  return true
end
)lua";

ScriptRunner& runnerOf(lua_State* L)
{
    return **static_cast<ScriptRunner**>(lua_getextraspace(L));
}

std::string whereText(lua_State* L)
{
    luaL_where(L, 1);
    std::string where = lua_tostring(L, -1);
    lua_pop(L, 1);
    if (!where.empty() && where.back() == ' ')
        where.pop_back();
    return where;
}

int pushFailure(lua_State* L, const std::string& message)
{
    lua_pushnil(L);
    lua_pushlstring(L, message.data(), message.size());
    return 2;
}

int pushTrue(lua_State* L)
{
    lua_pushboolean(L, 1);
    return 1;
}

std::uint32_t optTimeout(lua_State* L, int index, std::uint32_t fallback)
{
    if (lua_isnoneornil(L, index))
        return fallback;
    const lua_Integer ms = luaL_checkinteger(L, index);
    luaL_argcheck(L, ms >= 0, index, "a time-out is 0 or more milliseconds");
    return static_cast<std::uint32_t>(std::min<lua_Integer>(ms, 0x7FFFFFFF));
}

std::string_view checkBytes(lua_State* L, int index)
{
    std::size_t length = 0;
    const char* text = luaL_checklstring(L, index, &length);
    return { text, length };
}

// A byte given as a number or as a one-character string; fallback when absent.
std::uint8_t optByteField(lua_State* L, int table, const char* key, std::uint8_t fallback)
{
    if (!lua_istable(L, table))
        return fallback;
    lua_getfield(L, table, key);
    std::uint8_t value = fallback;
    if (lua_type(L, -1) == LUA_TSTRING && lua_rawlen(L, -1) == 1) {
        value = static_cast<std::uint8_t>(lua_tostring(L, -1)[0]);
    } else if (lua_isinteger(L, -1) && lua_tointeger(L, -1) >= 0 && lua_tointeger(L, -1) <= 255) {
        value = static_cast<std::uint8_t>(lua_tointeger(L, -1));
    } else if (!lua_isnil(L, -1)) {
        luaL_error(L, "%s must be a byte (0 to 255, or a one-character string)", key);
    }
    lua_pop(L, 1);
    return value;
}

bool parseProtocol(std::string_view name, FileProtocol& protocol, bool& oneK)
{
    oneK = false;
    if (name == "xmodem")
        protocol = FileProtocol::Xmodem;
    else if (name == "xmodem-1k")
        protocol = FileProtocol::Xmodem, oneK = true;
    else if (name == "ymodem")
        protocol = FileProtocol::Ymodem;
    else if (name == "zmodem")
        protocol = FileProtocol::Zmodem;
    else
        return false;
    return true;
}

FileProtocol checkProtocol(lua_State* L, int index, bool& oneK)
{
    FileProtocol protocol = FileProtocol::Zmodem;
    const char* name = luaL_optstring(L, index, "zmodem");
    if (!parseProtocol(name, protocol, oneK))
        luaL_argerror(L, index, "protocol is \"xmodem\", \"xmodem-1k\", \"ymodem\" or \"zmodem\"");
    return protocol;
}

} // namespace

// The C functions of the merovan table. Each returns its results the Lua
// way: a value (true when there is nothing else to say), or nil and a
// message for an outcome the script should handle (a time-out, a lost
// port, a failed transfer). Wrong arguments are errors.
struct ScriptRunner::Api
{
    static int portFailure(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        return pushFailure(L, r.m_port.wasDisconnected() ? "port lost" : "port not open");
    }

    static int sendText(lua_State* L, std::string_view text)
    {
        ScriptRunner& r = runnerOf(L);
        if (!r.m_port.isOpen())
            return portFailure(L);
        // The text is sent as a named script is; its echo is not wanted,
        // since the device's own echo shows.
        char echo[1];
        sendExpandedText(r.m_port, text, echo);
        if (!r.m_port.isOpen())
            return portFailure(L);
        return pushTrue(L);
    }

    static int writeRaw(lua_State* L, std::string_view bytes)
    {
        ScriptRunner& r = runnerOf(L);
        if (!r.m_port.isOpen())
            return portFailure(L);
        const int rc = r.m_port.writeBlock(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        if (rc != 0 || !r.m_port.isOpen())
            return r.m_port.isOpen() ? pushFailure(L, r.m_port.lastError()) : portFailure(L);
        return pushTrue(L);
    }

    static int send(lua_State* L) { return sendText(L, checkBytes(L, 1)); }

    static int sendln(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        const std::string_view text = checkBytes(L, 1);
        std::string enter = r.m_options.enter;
        lua_rawgeti(L, LUA_REGISTRYINDEX, r.m_apiRef);
        lua_getfield(L, -1, "enter");
        if (lua_type(L, -1) == LUA_TSTRING) {
            std::size_t length = 0;
            const char* e = lua_tolstring(L, -1, &length);
            enter.assign(e, length);
        }
        lua_pop(L, 2);
        const int n = sendText(L, text);
        if (n != 1)
            return n;
        lua_pop(L, 1);
        return writeRaw(L, enter);
    }

    static int write(lua_State* L) { return writeRaw(L, checkBytes(L, 1)); }

    static int expect(lua_State* L)
    {
        // Lua errors leave C frames without unwinding them, so everything
        // here is kept in Lua values or in the runner, never in a local.
        ScriptRunner& r = runnerOf(L);
        r.m_patterns.clear();
        if (lua_type(L, 1) == LUA_TSTRING) {
            r.m_patterns.emplace_back(checkBytes(L, 1));
        } else if (lua_istable(L, 1)) {
            const lua_Integer count = luaL_len(L, 1);
            for (lua_Integer i = 1; i <= count; ++i) {
                if (lua_geti(L, 1, i) != LUA_TSTRING)
                    return luaL_error(L, "expect: pattern %d is not a string", static_cast<int>(i));
                r.m_patterns.emplace_back(checkBytes(L, -1));
                lua_pop(L, 1);
            }
        } else {
            return luaL_argerror(L, 1, "a pattern or a list of patterns");
        }
        luaL_argcheck(L, !r.m_patterns.empty(), 1, "no patterns");
        return r.beginWait(L, Wait::Expect, optTimeout(L, 2, r.m_options.defaultTimeoutMs));
    }

    static int read(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        return r.beginWait(L, Wait::Read, optTimeout(L, 1, r.m_options.defaultTimeoutMs));
    }

    static int readline(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        return r.beginWait(L, Wait::ReadLine, optTimeout(L, 1, r.m_options.defaultTimeoutMs));
    }

    static int sleep(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        return r.beginWait(L, Wait::Sleep, optTimeout(L, 1, 0));
    }

    static int modemLine(lua_State* L, bool dtr)
    {
        ScriptRunner& r = runnerOf(L);
        luaL_checkany(L, 1);
        if (!r.m_port.isOpen())
            return portFailure(L);
        const bool on = lua_toboolean(L, 1) != 0;
        dtr ? r.m_port.setDtr(on) : r.m_port.setRts(on);
        return pushTrue(L);
    }
    static int dtr(lua_State* L) { return modemLine(L, true); }
    static int rts(lua_State* L) { return modemLine(L, false); }

    static int sendBreak(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        if (!r.m_port.isOpen())
            return portFailure(L);
        if (r.m_port.sendBreak() != 0)
            return r.m_port.isOpen() ? pushFailure(L, r.m_port.lastError()) : portFailure(L);
        return pushTrue(L);
    }

    static int baud(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        const lua_Integer rate = luaL_checkinteger(L, 1);
        luaL_argcheck(L, rate > 0 && rate <= 0x7FFFFFFF, 1, "a baud rate");
        const std::string settings = lineSettingsText(std::to_string(rate), std::to_string(r.m_port.dataBits()),
                                                      std::to_string(r.m_port.stopBits()));
        if (!r.m_port.isOpen())
            return portFailure(L);
        if (r.m_port.configurePort(settings) != 0)
            return pushFailure(L, r.m_port.lastError());
        return pushTrue(L);
    }

    static int flush(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        r.m_input.clear();
        r.m_stripper.reset();
        if (!r.m_port.isOpen())
            return portFailure(L);
        r.m_port.waitUntilSent();
        r.m_port.drainInput();
        return pushTrue(L);
    }

    // The transfer being set up, kept in the runner rather than a local for
    // the reason given at expect.
    static ScriptTransfer& newTransfer(lua_State* L, ScriptTransfer::Kind kind)
    {
        ScriptTransfer& t = runnerOf(L).m_transfer;
        t = ScriptTransfer();
        t.kind = kind;
        return t;
    }

    static int runTransfer(lua_State* L, const ScriptTransfer& t)
    {
        ScriptRunner& r = runnerOf(L);
        if (!r.m_port.isOpen())
            return portFailure(L);
        ScriptTransferResult result = r.m_host.transfer(r.m_port, t);
        if (!result.deviceOutput.empty()) {
            r.m_host.showReceived(result.deviceOutput);
            r.feed(result.deviceOutput);
        }
        if (!result.ok)
            return pushFailure(L, result.message);
        lua_pushboolean(L, 1);
        lua_createtable(L, static_cast<int>(result.files.size()), 0);
        for (std::size_t i = 0; i < result.files.size(); ++i) {
            lua_pushlstring(L, result.files[i].data(), result.files[i].size());
            lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
        }
        return 2;
    }

    static int sendFile(lua_State* L)
    {
        ScriptTransfer& t = newTransfer(L, ScriptTransfer::Kind::SendFiles);
        if (lua_istable(L, 1)) {
            const lua_Integer count = luaL_len(L, 1);
            for (lua_Integer i = 1; i <= count; ++i) {
                lua_geti(L, 1, i);
                t.paths.emplace_back(luaL_checkstring(L, -1));
                lua_pop(L, 1);
            }
        } else {
            t.paths.emplace_back(luaL_checkstring(L, 1));
        }
        luaL_argcheck(L, !t.paths.empty(), 1, "no files");
        t.protocol = checkProtocol(L, 2, t.oneK);
        luaL_argcheck(L, t.protocol != FileProtocol::Xmodem || t.paths.size() == 1, 1, "XMODEM sends one file");
        return runTransfer(L, t);
    }

    static int receiveFiles(lua_State* L)
    {
        ScriptTransfer& t = newTransfer(L, ScriptTransfer::Kind::ReceiveFiles);
        t.dir = luaL_optstring(L, 1, ".");
        t.protocol = checkProtocol(L, 2, t.oneK);
        return runTransfer(L, t);
    }

    static int boot(lua_State* L)
    {
        ScriptTransfer& t = newTransfer(L, ScriptTransfer::Kind::Boot);
        t.paths.emplace_back(luaL_checkstring(L, 1));
        luaL_checktype(L, 2, LUA_TTABLE);
        lua_getfield(L, 2, "flash_kb");
        const lua_Integer kb = lua_isinteger(L, -1) ? lua_tointeger(L, -1) : -1;
        lua_pop(L, 1);
        if (kb <= 0 || kb > 0x1FFFFF)
            return luaL_error(L, "boot: flash_kb must be the flash size in kilobytes");
        t.flashKb = static_cast<std::int32_t>(kb);
        lua_getfield(L, 2, "erase_all");
        t.eraseAll = lua_toboolean(L, -1) != 0;
        lua_pop(L, 1);
        return runTransfer(L, t);
    }

    static int textFile(lua_State* L)
    {
        ScriptTransfer& t = newTransfer(L, ScriptTransfer::Kind::TextFile);
        t.paths.emplace_back(luaL_checkstring(L, 1));
        t.ack = optByteField(L, 2, "ack", 0);
        t.error = optByteField(L, 2, "error", 0);
        t.delayMs = optByteField(L, 2, "delay", 0);
        return runTransfer(L, t);
    }

    static int binary(lua_State* L)
    {
        ScriptTransfer& t = newTransfer(L, ScriptTransfer::Kind::Binary);
        t.paths.emplace_back(luaL_checkstring(L, 1));
        return runTransfer(L, t);
    }

    static int script(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        const char* name = luaL_checkstring(L, 1);
        const char* file = luaL_optstring(L, 2, "");
        const std::optional<std::string> text = r.m_host.namedScript(file, name);
        if (!text)
            return pushFailure(L, std::string("no script named ") + name);
        return sendText(L, *text);
    }

    // The arguments as text, joined, left on the stack.
    static void pushJoined(lua_State* L, const char* separator)
    {
        const int n = lua_gettop(L);
        luaL_Buffer buffer;
        luaL_buffinit(L, &buffer);
        for (int i = 1; i <= n; ++i) {
            if (i > 1)
                luaL_addstring(&buffer, separator);
            luaL_tolstring(L, i, nullptr);
            luaL_addvalue(&buffer);
        }
        luaL_pushresult(&buffer);
    }

    static int log(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        pushJoined(L, " ");
        std::size_t length = 0;
        const char* text = lua_tolstring(L, -1, &length);
        r.m_host.log(formatTimestamp(r.m_wall.epochMs()) + std::string(text, length));
        return 0;
    }

    static int print(lua_State* L)
    {
        pushJoined(L, "\t");
        lua_pushliteral(L, "\n");
        lua_concat(L, 2);
        std::size_t length = 0;
        const char* text = lua_tolstring(L, -1, &length);
        runnerOf(L).m_host.print(std::string(text, length));
        return 0;
    }

    static int exit(lua_State* L)
    {
        ScriptRunner& r = runnerOf(L);
        int status = kScriptOk;
        if (lua_isboolean(L, 1))
            status = lua_toboolean(L, 1) ? kScriptOk : kScriptError;
        else if (!lua_isnoneornil(L, 1))
            status = static_cast<int>(luaL_checkinteger(L, 1));
        r.m_exitRequest = status;
        r.m_exitRequested = true;
        if (L == r.m_thread && lua_isyieldable(L)) {
            r.m_wait = Wait::Exit;
            return lua_yield(L, 0);
        }
        // Inside a coroutine of the script or C code that cannot yield:
        // unwind with an error that every later instruction raises again,
        // so no pcall can keep the script going.
        r.kill(L, "");
    }

    static int closed(lua_State* L)
    {
        return luaL_error(L, "%s is not allowed in scripts unless they are run with merovan-cli run --allow-exec",
                          lua_tostring(L, lua_upvalueindex(1)));
    }

    static void hook(lua_State* L, lua_Debug* ar)
    {
        ScriptRunner& r = runnerOf(L);
        if (r.m_killing) {
            r.kill(L, nullptr);
            return;
        }
        r.m_instructions += kHookStep;
        if (r.m_cancel.load()) {
            r.kill(L, "Script stopped");
            return;
        }
        if (r.m_instructions <= r.m_options.instructionLimit)
            return;
        lua_getinfo(L, "Sl", ar);
        r.m_killReason = ar->currentline > 0
            ? std::string(ar->short_src) + ":" + std::to_string(ar->currentline) + ": "
            : std::string();
        r.m_killReason += "no expect, read, readline or sleep for "
            + std::to_string(r.m_options.instructionLimit / 1'000'000)
            + " million instructions: stopped as a runaway loop";
        r.kill(L, nullptr);
    }
};

ScriptRunner::ScriptRunner(SerialPort& port, Clock& clock, const WallClock& wall, ScriptHost& host, ScriptOptions options)
    : m_port(port)
    , m_clock(clock)
    , m_wall(wall)
    , m_host(host)
    , m_options(std::move(options))
    , m_lua(std::make_unique<LuaState>(m_options.memoryLimitBytes))
{
    lua_State* L = m_lua->get();
    *static_cast<ScriptRunner**>(lua_getextraspace(L)) = this;
    luaL_openlibs(L);

    // string.find does the matching, so patterns are Lua's own.
    lua_getglobal(L, "string");
    lua_getfield(L, -1, "find");
    m_findRef = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pop(L, 1);

    // os.exit ends the script, never the program.
    lua_getglobal(L, "os");
    lua_pushcfunction(L, &Api::exit);
    lua_setfield(L, -2, "exit");
    lua_pop(L, 1);
    lua_pushcfunction(L, &Api::print);
    lua_setglobal(L, "print");

    if (!m_options.allowExec) {
        auto close = [L](const char* table, const char* field, const char* name) {
            lua_getglobal(L, table);
            lua_pushstring(L, name);
            lua_pushcclosure(L, &Api::closed, 1);
            lua_setfield(L, -2, field);
            lua_pop(L, 1);
        };
        close("os", "execute", "os.execute");
        close("io", "popen", "io.popen");
        close("package", "loadlib", "package.loadlib");
        // Only the preload and Lua-file searchers stay: no C modules.
        lua_getglobal(L, "package");
        lua_getfield(L, -1, "searchers");
        lua_pushnil(L);
        lua_rawseti(L, -2, 4);
        lua_pushnil(L);
        lua_rawseti(L, -2, 3);
        lua_pop(L, 1);
        lua_pushliteral(L, "");
        lua_setfield(L, -2, "cpath");
        lua_pop(L, 1);
    }

    static const luaL_Reg functions[] = {
        { "send", &Api::send },
        { "sendln", &Api::sendln },
        { "write", &Api::write },
        { "expect", &Api::expect },
        { "read", &Api::read },
        { "readline", &Api::readline },
        { "sleep", &Api::sleep },
        { "dtr", &Api::dtr },
        { "rts", &Api::rts },
        { "_break", &Api::sendBreak },
        { "baud", &Api::baud },
        { "flush", &Api::flush },
        { "send_file", &Api::sendFile },
        { "receive_files", &Api::receiveFiles },
        { "boot", &Api::boot },
        { "text_file", &Api::textFile },
        { "binary", &Api::binary },
        { "script", &Api::script },
        { "log", &Api::log },
        { nullptr, nullptr },
    };
    luaL_newlib(L, functions);
    lua_pushlstring(L, m_options.enter.data(), m_options.enter.size());
    lua_setfield(L, -2, "enter");
    lua_pushvalue(L, -1);
    m_apiRef = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_setglobal(L, "merovan");

    if (luaL_loadbufferx(L, kPrelude, sizeof kPrelude - 1, "=merovan", "t") != LUA_OK)
        throw std::logic_error(lua_tostring(L, -1));
    lua_rawgeti(L, LUA_REGISTRYINDEX, m_apiRef);
    if (lua_pcall(L, 1, 0, 0) != LUA_OK)
        throw std::logic_error(lua_tostring(L, -1));

    m_thread = lua_newthread(L);
    m_threadRef = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_sethook(m_thread, &Api::hook, LUA_MASKCOUNT, kHookStep);
}

ScriptRunner::~ScriptRunner() = default;

bool ScriptRunner::loadFile(const std::string& path, const std::vector<std::string>& args)
{
    m_name = path;
    return load(luaL_loadfilex(m_thread, path.c_str(), "t"), args);
}

bool ScriptRunner::loadText(std::string_view text, const std::string& name, const std::vector<std::string>& args)
{
    m_name = name;
    const std::string chunkName = "@" + name;
    return load(luaL_loadbufferx(m_thread, text.data(), text.size(), chunkName.c_str(), "t"), args);
}

bool ScriptRunner::load(int loadResult, const std::vector<std::string>& args)
{
    if (loadResult != LUA_OK) {
        std::string message = luaValueText(m_thread, -1);
        lua_pop(m_thread, 1);
        finish(kScriptError, std::move(message));
        return false;
    }
    // merovan.args, and arg as the standalone interpreter has it.
    lua_State* L = m_lua->get();
    lua_createtable(L, static_cast<int>(args.size()), 0);
    for (std::size_t i = 0; i < args.size(); ++i) {
        lua_pushlstring(L, args[i].data(), args[i].size());
        lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, m_apiRef);
    lua_pushvalue(L, -2);
    lua_setfield(L, -2, "args");
    lua_pop(L, 1);
    lua_pushlstring(L, m_name.data(), m_name.size());
    lua_rawseti(L, -2, 0);
    lua_setglobal(L, "arg");
    m_state = State::Ready;
    return true;
}

void ScriptRunner::finish(int status, std::string error)
{
    m_state = State::Finished;
    m_wait = Wait::None;
    m_exitStatus = status;
    m_error = std::move(error);
}

void ScriptRunner::kill(lua_State* L, const char* reason)
{
    if (!m_killing) {
        m_killing = true;
        if (reason)
            m_killReason = reason;
    }
    lua_sethook(L, &Api::hook, LUA_MASKCOUNT, 1);
    lua_pushlstring(L, m_killReason.data(), m_killReason.size());
    lua_error(L);
    std::abort(); // not reached: lua_error does not return
}

std::uint64_t ScriptRunner::deadline() const
{
    return m_state == State::Waiting ? m_deadline : kNoScriptDeadline;
}

void ScriptRunner::feed(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    m_stripper.feed(bytes, m_input);
    if (m_input.size() > kInputLimit)
        m_input.erase(0, m_input.size() - kInputLimit);
    m_inputChanged = true;
}

int ScriptRunner::beginWait(lua_State* L, Wait wait, std::uint32_t timeoutMs)
{
    static const char* const names[] = { "", "expect", "read", "readline", "sleep", "" };
    const char* name = names[static_cast<int>(wait)];
    if (m_killing)
        kill(L, nullptr);
    if (L != m_thread)
        return luaL_error(L, "merovan.%s cannot wait inside a coroutine of the script", name);
    if (!lua_isyieldable(L))
        return luaL_error(L, "merovan.%s cannot wait here (called through C code such as string.gsub)", name);
    m_wait = wait;
    m_timeoutMs = timeoutMs;
    const std::uint64_t now = m_clock.nowMs();
    m_deadline = now + timeoutMs;
    m_where = whereText(L) + " " + name;
    m_inputChanged = true;
    const int n = completeWait(L);
    if (n > 0) {
        m_wait = Wait::None;
        return n;
    }
    if (n == kWaitFailed)
        return lua_error(L);
    return lua_yield(L, 0);
}

int ScriptRunner::completeWait(lua_State* running)
{
    if (m_cancel.load())
        return kWaitStopped;
    lua_State* T = m_thread;
    switch (m_wait) {
    case Wait::Expect:
        if (m_inputChanged) {
            m_inputChanged = false;
            const int n = pushMatch(running);
            if (n != 0)
                return n;
        }
        break;
    case Wait::Read:
        if (!m_input.empty()) {
            lua_pushlstring(T, m_input.data(), m_input.size());
            m_input.clear();
            return 1;
        }
        break;
    case Wait::ReadLine:
        if (const std::size_t end = m_input.find('\n'); end != std::string::npos) {
            std::size_t length = end;
            if (length > 0 && m_input[length - 1] == '\r')
                --length;
            lua_pushlstring(T, m_input.data(), length);
            m_input.erase(0, end + 1);
            return 1;
        }
        break;
    case Wait::Sleep:
        if (m_clock.nowMs() >= m_deadline) {
            lua_pushboolean(T, 1);
            return 1;
        }
        return 0;
    default:
        return 0;
    }
    if (!m_port.isOpen()) {
        m_host.note(m_where + ": port lost");
        return pushFailure(T, "port lost");
    }
    if (m_clock.nowMs() >= m_deadline) {
        m_host.note(m_where + ": timeout after " + std::to_string(m_timeoutMs) + " ms");
        return pushFailure(T, "timeout");
    }
    return 0;
}

int ScriptRunner::pushMatch(lua_State* S)
{
    // The pattern whose match ends first in the text wins; at the same end,
    // the earlier one in the list.
    const int base = lua_gettop(S);
    int best = -1;
    lua_Integer bestEnd = 0;
    for (std::size_t i = 0; i < m_patterns.size(); ++i) {
        lua_rawgeti(S, LUA_REGISTRYINDEX, m_findRef);
        lua_pushlstring(S, m_input.data(), m_input.size());
        lua_pushlstring(S, m_patterns[i].data(), m_patterns[i].size());
        if (lua_pcall(S, 2, 2, 0) != LUA_OK) {
            m_matchError = m_where + ": " + luaValueText(S, -1);
            lua_settop(S, base);
            if (S == m_thread) {
                lua_pushlstring(S, m_matchError.data(), m_matchError.size());
                return kWaitFailed;
            }
            finish(kScriptError, m_matchError);
            return kWaitFailed;
        }
        if (!lua_isnil(S, -2)) {
            const lua_Integer end = lua_tointeger(S, -1);
            if (best < 0 || end < bestEnd) {
                best = static_cast<int>(i);
                bestEnd = end;
            }
        }
        lua_settop(S, base);
    }
    if (best < 0)
        return 0;

    lua_rawgeti(S, LUA_REGISTRYINDEX, m_findRef);
    lua_pushlstring(S, m_input.data(), m_input.size());
    lua_pushlstring(S, m_patterns[static_cast<std::size_t>(best)].data(), m_patterns[static_cast<std::size_t>(best)].size());
    lua_call(S, 2, LUA_MULTRET);
    const int got = lua_gettop(S) - base;
    const lua_Integer start = lua_tointeger(S, base + 1);
    const lua_Integer end = lua_tointeger(S, base + 2);
    const int captures = got - 2;
    luaL_checkstack(S, captures + 2, "expect");
    lua_pushinteger(S, best + 1);
    lua_pushlstring(S, m_input.data() + start - 1, static_cast<std::size_t>(end - start + 1));
    for (int k = 0; k < captures; ++k)
        lua_pushvalue(S, base + 3 + k);
    for (int k = 0; k < got; ++k)
        lua_remove(S, base + 1);
    m_input.erase(0, static_cast<std::size_t>(end));
    const int n = captures + 2;
    if (S != m_thread)
        lua_xmove(S, m_thread, n);
    return n;
}

ScriptRunner::State ScriptRunner::resume()
{
    if (m_state == State::Finished)
        return m_state;
    int args = 0;
    if (m_state == State::Waiting) {
        args = completeWait(m_lua->get());
        if (args == 0)
            return m_state;
    }
    for (;;) {
        if (args == kWaitStopped) {
            finish(kScriptError, "Script stopped");
            return m_state;
        }
        if (args == kWaitFailed)
            return m_state; // finished by the match
        m_wait = Wait::None;
        m_instructions = 0;
        int results = 0;
        const int rc = lua_resume(m_thread, nullptr, args, &results);
        if (rc == LUA_YIELD) {
            lua_pop(m_thread, results);
            if (m_wait == Wait::Exit) {
                finish(m_exitRequest, {});
                return m_state;
            }
            if (m_wait == Wait::None) {
                finish(kScriptError, m_name + ": coroutine.yield outside a coroutine");
                return m_state;
            }
            m_state = State::Waiting;
            args = completeWait(m_lua->get());
            if (args == 0)
                return m_state;
            continue;
        }
        if (rc == LUA_OK) {
            finish(kScriptOk, {});
        } else if (m_killing && m_exitRequested && m_killReason.empty()) {
            finish(m_exitRequest, {});
        } else if (m_killing) {
            finish(kScriptError, m_killReason);
        } else {
            finish(kScriptError, luaValueText(m_thread, -1));
        }
        return m_state;
    }
}

} // namespace merovan
