// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The few RAII pieces the Lua bindings need over Lua's plain C API.

#include <cstddef>
#include <memory>
#include <string>

struct lua_State;

namespace merovan {

struct LuaStateCloser
{
    void operator()(lua_State* state) const;
};

// Owns a Lua state; closing it frees every object and thread it made.
using LuaStatePtr = std::unique_ptr<lua_State, LuaStateCloser>;

// A new state whose allocations stop at limitBytes: past it an allocation
// fails and the script gets a "not enough memory" error, so a script cannot
// take the host's memory. The counter lives as long as the state.
class LuaState
{
public:
    explicit LuaState(std::size_t limitBytes);
    ~LuaState();
    LuaState(const LuaState&) = delete;
    LuaState& operator=(const LuaState&) = delete;

    lua_State* get() const { return m_state.get(); }
    std::size_t used() const { return m_used; }

private:
    static void* allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize);

    std::size_t m_limit;
    std::size_t m_used = 0;
    LuaStatePtr m_state; // last: closed before the counter goes
};

// Restores a state's stack height when it goes out of scope.
class LuaStackGuard
{
public:
    explicit LuaStackGuard(lua_State* state);
    ~LuaStackGuard();
    LuaStackGuard(const LuaStackGuard&) = delete;
    LuaStackGuard& operator=(const LuaStackGuard&) = delete;

private:
    lua_State* m_state;
    int m_top;
};

// The value at index as text for a message: strings as they are, anything
// else by its type.
std::string luaValueText(lua_State* state, int index);

} // namespace merovan
