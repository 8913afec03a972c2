#include "ChunkCache.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <cstring>
#include <string_view>

#include "TextChunks.h"

namespace orvex {

std::atomic<unsigned> CChunkCache::s_generation{0};

namespace {

// Registry key of a state's cache (a light userdata).
const char kCacheKey = 0;

}  // namespace

CChunkCache* CChunkCache::Of(lua_State* L) {
    lua_pushlightuserdata(L, const_cast<char*>(&kCacheKey));
    lua_rawget(L, LUA_REGISTRYINDEX);
    auto* cache = static_cast<CChunkCache*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return cache;
}

void CChunkCache::Attach(lua_State* L, CChunkCache* cache) {
    lua_pushlightuserdata(L, const_cast<char*>(&kCacheKey));
    lua_pushlightuserdata(L, cache);
    lua_rawset(L, LUA_REGISTRYINDEX);
}

void CChunkCache::ClearAll() { s_generation.fetch_add(1, std::memory_order_acq_rel); }

void CChunkCache::Clear(lua_State* L) {
    if (L)
        for (const Entry& e : m_entries) luaL_unref(L, LUA_REGISTRYINDEX, e.ref);
    m_entries.clear();
    m_sourceBytes = 0;
}

void CChunkCache::Evict(lua_State* L, size_t index) {
    luaL_unref(L, LUA_REGISTRYINDEX, m_entries[index].ref);
    m_sourceBytes -= m_entries[index].source.size() + m_entries[index].name.size();
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
}

int CChunkCache::Load(lua_State* L, const char* source, size_t size, const char* name) {
    const unsigned generation = s_generation.load(std::memory_order_acquire);
    if (generation != m_generation) {
        Clear(L);
        m_generation = generation;
    }
    const std::string_view text(source, size);
    const size_t hash = std::hash<std::string_view>{}(text);
    for (Entry& e : m_entries) {
        if (e.hash != hash || e.source.size() != size || e.name != name || std::memcmp(e.source.data(), source, size))
            continue;
        e.lastUse = ++m_clock;
        lua_rawgeti(L, LUA_REGISTRYINDEX, e.ref);
        // The environment a fresh load would give.
        lua_pushvalue(L, LUA_GLOBALSINDEX);
        lua_setfenv(L, -2);
        return 0;
    }
    const int status = LoadText(L, source, size, name);
    if (status != 0) return status;
    const size_t nameSize = std::strlen(name);
    if (size + nameSize > kMaxSourceBytes) return 0;  // too large to keep
    Entry entry;
    try {
        entry = Entry{hash, std::string(text), std::string(name, nameSize), LUA_NOREF, ++m_clock};
        m_entries.reserve(m_entries.size() + 1);
    } catch (...) {
        return 0;  // the chunk runs all the same, uncached
    }
    lua_pushvalue(L, -1);
    entry.ref = luaL_ref(L, LUA_REGISTRYINDEX);
    m_sourceBytes += size + nameSize;
    m_entries.push_back(std::move(entry));
    while (m_entries.size() > kMaxChunks || m_sourceBytes > kMaxSourceBytes) {
        size_t oldest = 0;
        for (size_t i = 1; i < m_entries.size(); ++i)
            if (m_entries[i].lastUse < m_entries[oldest].lastUse) oldest = i;
        Evict(L, oldest);
    }
    return 0;
}

}  // namespace orvex
