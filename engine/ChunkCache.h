// The main chunks one Lua state has loaded, kept so that running the same
// source again skips the parse.
//
// A chunk is found by its exact source bytes and its chunk name: the bytes
// are compared in full, so an edited script (a plain one is read from disk
// every call) is loaded anew. Before every run the cached function gets the
// globals of the state it runs in as its environment again, as a fresh load
// would (a main chunk may have changed its own with setfenv). Load errors
// are not kept. At most kMaxChunks chunks and kMaxSourceBytes of their
// sources are kept, the least recently used going first; ClearAll drops
// every state's chunks (each state at its next load: no state is touched
// from another thread).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct lua_State;

namespace orvex {

class CChunkCache {
public:
    static constexpr size_t kMaxChunks = 30;
    static constexpr size_t kMaxSourceBytes = size_t(8) << 20;

    // Pushes the function that loading `size` bytes at `source` as the chunk
    // `name` gives (LoadText: source text only), from the cache when it holds
    // it, and returns 0; on a load error pushes the message and returns its
    // status.
    int Load(lua_State* L, const char* source, size_t size, const char* name);

    // Forgets every chunk (the state's registry references go too). `L` is
    // null when the state itself is gone.
    void Clear(lua_State* L);
    // Every state forgets its chunks at its next load.
    static void ClearAll();

    // The cache of the state `L` belongs to (any of its coroutines), or null
    // for a state that has none (a host's own state).
    static CChunkCache* Of(lua_State* L);
    // Makes `cache` the one of the state `L`.
    static void Attach(lua_State* L, CChunkCache* cache);

    size_t Count() const { return m_entries.size(); }

private:
    struct Entry {
        size_t hash;
        std::string source;
        std::string name;
        int ref;
        uint64_t lastUse;
    };
    void Evict(lua_State* L, size_t index);

    std::vector<Entry> m_entries;
    size_t m_sourceBytes = 0;
    uint64_t m_clock = 0;
    unsigned m_generation = 0;
    static std::atomic<unsigned> s_generation;
};

}  // namespace orvex
