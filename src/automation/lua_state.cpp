// SPDX-License-Identifier: GPL-3.0-or-later
#include "automation/lua_state.h"

#include <lua.hpp>

#include <cstdlib>
#include <new>

namespace merovan {

void LuaStateCloser::operator()(lua_State* state) const
{
    lua_close(state);
}

LuaState::LuaState(std::size_t limitBytes)
    : m_limit(limitBytes)
    , m_state(lua_newstate(&LuaState::allocate, this))
{
    if (!m_state)
        throw std::bad_alloc();
}

LuaState::~LuaState() = default;

void* LuaState::allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize)
{
    auto* state = static_cast<LuaState*>(self);
    // For a new block Lua passes the kind of object in oldSize, not a size.
    const std::size_t had = block ? oldSize : 0;
    if (newSize == 0) {
        std::free(block);
        state->m_used -= had;
        return nullptr;
    }
    if (newSize > had && newSize - had > state->m_limit - state->m_used)
        return nullptr;
    void* grown = std::realloc(block, newSize);
    if (grown)
        state->m_used = state->m_used - had + newSize;
    return grown;
}

LuaStackGuard::LuaStackGuard(lua_State* state)
    : m_state(state)
    , m_top(lua_gettop(state))
{
}

LuaStackGuard::~LuaStackGuard()
{
    lua_settop(m_state, m_top);
}

std::string luaValueText(lua_State* state, int index)
{
    std::size_t length = 0;
    if (lua_type(state, index) == LUA_TSTRING || lua_type(state, index) == LUA_TNUMBER) {
        const char* text = lua_tolstring(state, index, &length);
        return std::string(text, length);
    }
    return std::string("(error object is a ") + luaL_typename(state, index) + " value)";
}

} // namespace merovan
