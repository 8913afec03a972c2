// Memory of one Lua state.
//
// Small blocks (up to 256 bytes: strings, tables, closures, upvalues, most of
// what the parser builds) come from 4 KiB chunks that the state owns, one
// size class per chunk; larger blocks come from the C library. A state is
// only ever run by one thread at a time, so none of this takes a lock: in
// particular no heap lock of the C library, whose per-thread heaps a state
// would otherwise share with whichever thread first created its objects (a
// worker outlives its thread when the thread id comes back) and so contend
// with other calling threads on every collection.
//
// Chunks that become empty go to a small cache of the state; beyond it they
// are returned, so a state keeps at most a few empty chunks after a burst.
// A chunk is small because every size class in use has one partly filled:
// at 4 KiB, an idle state with every library holds about 16 KiB in chunks
// beside its 44 KiB of blocks (37 KiB at 8 KiB).
#pragma once

#include <atomic>
#include <cstddef>

namespace orvex {

class CLuaStateAllocator {
public:
    static constexpr size_t kChunkSize = 4 * 1024;
    static constexpr size_t kMaxSmall = 256;
    static constexpr unsigned kMaxCachedChunks = 4;

    CLuaStateAllocator() = default;
    // Returns every chunk; the state must have been closed.
    ~CLuaStateAllocator();
    CLuaStateAllocator(const CLuaStateAllocator&) = delete;
    CLuaStateAllocator& operator=(const CLuaStateAllocator&) = delete;

    // The lua_Alloc function; `ud` is the allocator.
    static void* Allocate(void* ud, void* ptr, size_t osize, size_t nsize);

    // Refuses growth beyond `bytes` of Lua's blocks in use (0: no limit), so
    // that tests can make a state run out of memory.
    void SetLimit(size_t bytes) {
        m_testLimit = bytes;
        UpdateChecked();
    }
    // The host's limit for the state, set at every run (0: none). The lower
    // of the two applies.
    void SetRunLimit(size_t bytes) {
        m_runLimit = bytes;
        UpdateChecked();
    }
    // Whether a growth was refused for the host's limit since ClearLimitHit
    // (not for lack of memory in the system, nor for the tests' limit or
    // failure injection).
    bool LimitHit() const { return m_limitHit; }
    void ClearLimitHit() { m_limitHit = false; }
    size_t Limit() const {
        return m_testLimit == 0 ? m_runLimit : m_runLimit == 0 || m_testLimit < m_runLimit ? m_testLimit : m_runLimit;
    }

    // Bytes in use and the most in use so far: written by the state's own
    // thread only, readable from any (statistics).
    size_t BytesInUse() const { return m_inUse.load(std::memory_order_relaxed); }
    size_t PeakBytes() const { return m_peak.load(std::memory_order_relaxed); }

    // Allocation-failure injection for tests. Counts Lua's requests for
    // memory (new blocks and growths; frees and shrinks always succeed) from
    // this call on, and refuses the `nth` of them (1: the first; 0: none,
    // only count). kOnlyNth refuses that one request alone, so that Lua goes
    // on after the error it raises; kFromNth refuses every one from it on,
    // as a heap that stays exhausted would, until the next call.
    enum class FailureMode { kOnlyNth, kFromNth };
    void FailAllocation(size_t nth, FailureMode mode) {
        m_requests = 0;
        m_failAt = nth;
        m_failMode = mode;
        m_counting = true;
        UpdateChecked();
    }
    // Ends the injection (and the counting).
    void StopFailing() {
        m_counting = false;
        UpdateChecked();
    }
    // Requests counted since FailAllocation.
    size_t RequestCount() const { return m_requests; }

    // Chunks held (in use or cached), and of them the cached empty ones.
    size_t ChunkCount() const { return m_chunkCount; }
    size_t CachedChunkCount() const { return m_cachedCount; }
    // Bytes of the chunks held that no block handed out takes: headers,
    // never used and freed blocks, cached chunks (a walk of every chunk;
    // for statistics). What the state holds is about BytesInUse() plus
    // this (blocks are counted at the size Lua asked for, which a chunk
    // block exceeds by less than 16 bytes).
    size_t UnusedChunkBytes() const;

private:
    static constexpr unsigned kGranule = 16;
    static constexpr unsigned kClasses = kMaxSmall / kGranule;
    struct Chunk;

    static unsigned ClassOf(size_t size) { return static_cast<unsigned>((size - 1) / kGranule); }
    static Chunk* ChunkOf(void* block);

    void UpdateChecked() { m_checked = m_testLimit != 0 || m_runLimit != 0 || m_counting; }
    bool Refuses(size_t inUse, size_t growth);
    void* Resize(void* ptr, size_t osize, size_t nsize);
    void* AllocateSmall(unsigned cls);
    void FreeSmall(void* block);
    Chunk* TakeChunk(unsigned cls);
    void Unlink(Chunk*& head, Chunk* chunk);
    void Push(Chunk*& head, Chunk* chunk);
    void ReleaseChunk(Chunk* chunk);

    Chunk* m_partial[kClasses] = {};  // chunks of each class with room
    Chunk* m_cached = nullptr;        // empty chunks kept for reuse
    Chunk* m_all = nullptr;           // every chunk, for the destructor
    std::atomic<size_t> m_inUse{0};  // by the sizes Lua gives
    std::atomic<size_t> m_peak{0};
    size_t m_testLimit = 0;
    size_t m_runLimit = 0;
    bool m_limitHit = false;
    bool m_checked = false;  // a limit or failure injection is set
    bool m_counting = false;
    FailureMode m_failMode = FailureMode::kOnlyNth;
    size_t m_requests = 0;
    size_t m_failAt = 0;
    size_t m_chunkCount = 0;
    size_t m_cachedCount = 0;
};

}  // namespace orvex
