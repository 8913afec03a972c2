#include "LuaStateAllocator.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

// Under AddressSanitizer, free and not yet handed out parts of a chunk are
// poisoned, so a script library touching a block Lua has freed is still
// caught although the block never goes back to the C library.
#if defined(__SANITIZE_ADDRESS__)
#define ORVEX_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVEX_POOL_ASAN 1
#endif
#endif

#ifdef ORVEX_POOL_ASAN
#include <sanitizer/asan_interface.h>
#define ORVEX_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define ORVEX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define ORVEX_POISON(p, n) ((void)(p), (void)(n))
#define ORVEX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace orvex {

// Header at the start of each chunk; the chunk is aligned to its size, so a
// block finds its header by masking its address.
struct alignas(16) CLuaStateAllocator::Chunk {
    Chunk* prev;  // in the class's list of chunks with room, or in the cache
    Chunk* next;
    Chunk* allPrev;  // in the list of every chunk
    Chunk* allNext;
    void* freeList;  // freed blocks, linked through their first word
    char* bump;      // next never used block
    char* end;
    uint32_t live;  // blocks handed out
    uint16_t blockSize;
    uint8_t cls;
    bool listed;

    bool HasRoom() const { return freeList || static_cast<size_t>(end - bump) >= blockSize; }
    char* FirstBlock() { return reinterpret_cast<char*>(this) + sizeof(Chunk); }
};

namespace {

constexpr std::align_val_t kChunkAlignment{CLuaStateAllocator::kChunkSize};

}  // namespace

CLuaStateAllocator::~CLuaStateAllocator() {
    Chunk* chunk = m_all;
    while (chunk) {
        Chunk* next = chunk->allNext;
        ORVEX_UNPOISON(chunk, kChunkSize);
        ::operator delete(chunk, kChunkAlignment);
        chunk = next;
    }
}

size_t CLuaStateAllocator::UnusedChunkBytes() const {
    size_t unused = 0;
    for (const Chunk* chunk = m_all; chunk; chunk = chunk->allNext) {
        // A cached chunk keeps the count of the class it last had: none live.
        const size_t live = chunk->live;
        unused += kChunkSize - live * chunk->blockSize;
    }
    return unused;
}

CLuaStateAllocator::Chunk* CLuaStateAllocator::ChunkOf(void* block) {
    return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(block) & ~(uintptr_t{kChunkSize} - 1));
}

void* CLuaStateAllocator::Allocate(void* ud, void* ptr, size_t osize, size_t nsize) {
    auto* self = static_cast<CLuaStateAllocator*>(ud);
    if (nsize == 0) {
        if (ptr) {
            if (osize <= kMaxSmall)
                self->FreeSmall(ptr);
            else
                std::free(ptr);
            self->m_inUse.store(self->m_inUse.load(std::memory_order_relaxed) - osize, std::memory_order_relaxed);
        }
        return nullptr;
    }
    // Only the state's own thread writes these: plain loads and stores.
    const size_t inUse = self->m_inUse.load(std::memory_order_relaxed);
    if (self->m_checked && nsize > osize && self->Refuses(inUse, nsize - osize)) return nullptr;
    void* block = !ptr ? (nsize <= kMaxSmall ? self->AllocateSmall(ClassOf(nsize)) : std::malloc(nsize))
                       : self->Resize(ptr, osize, nsize);
    if (block) {
        const size_t now = inUse - osize + nsize;
        self->m_inUse.store(now, std::memory_order_relaxed);
        if (now > self->m_peak.load(std::memory_order_relaxed)) self->m_peak.store(now, std::memory_order_relaxed);
    }
    return block;
}

bool CLuaStateAllocator::Refuses(size_t inUse, size_t growth) {
    const size_t limit = Limit();
    if (limit != 0 && inUse + growth > limit) {
        // The host's limit ends the run; the tests' stands for a machine out
        // of memory.
        if (limit == m_runLimit) m_limitHit = true;
        return true;
    }
    if (!m_counting) return false;
    const size_t request = ++m_requests;
    return m_failAt != 0 && (request == m_failAt || (m_failMode == FailureMode::kFromNth && request > m_failAt));
}

// Lua gives the size it last asked for with every block, so a block is a
// chunk block exactly when that size is small: every path below keeps that
// true.
void* CLuaStateAllocator::Resize(void* ptr, size_t osize, size_t nsize) {
    if (osize > kMaxSmall) {
        if (nsize > kMaxSmall) return std::realloc(ptr, nsize);
        void* block = AllocateSmall(ClassOf(nsize));
        if (!block) return nullptr;  // Lua raises "not enough memory"; ptr stays
        std::memcpy(block, ptr, nsize);
        std::free(ptr);
        return block;
    }
    if (nsize > kMaxSmall) {
        void* block = std::malloc(nsize);
        if (!block) return nullptr;
        std::memcpy(block, ptr, osize);
        FreeSmall(ptr);
        return block;
    }
    const unsigned cls = ClassOf(nsize);
    if (cls == ChunkOf(ptr)->cls) return ptr;
    void* block = AllocateSmall(cls);
    // Without a new block, a block that still fits stays where it is: its
    // chunk knows its real size.
    if (!block) return nsize <= ChunkOf(ptr)->blockSize ? ptr : nullptr;
    std::memcpy(block, ptr, nsize < osize ? nsize : osize);
    FreeSmall(ptr);
    return block;
}

void* CLuaStateAllocator::AllocateSmall(unsigned cls) {
    Chunk* chunk = m_partial[cls];
    if (!chunk) {
        chunk = TakeChunk(cls);
        if (!chunk) return nullptr;
        Push(m_partial[cls], chunk);
    }
    void* block;
    if (chunk->freeList) {
        block = chunk->freeList;
        ORVEX_UNPOISON(block, chunk->blockSize);
        chunk->freeList = *static_cast<void**>(block);
    } else {
        block = chunk->bump;
        chunk->bump += chunk->blockSize;
        ORVEX_UNPOISON(block, chunk->blockSize);
    }
    ++chunk->live;
    if (!chunk->HasRoom()) Unlink(m_partial[cls], chunk);
    return block;
}

void CLuaStateAllocator::FreeSmall(void* block) {
    Chunk* chunk = ChunkOf(block);
    *static_cast<void**>(block) = chunk->freeList;
    chunk->freeList = block;
    ORVEX_POISON(block, chunk->blockSize);
    if (--chunk->live == 0) {
        if (chunk->listed) Unlink(m_partial[chunk->cls], chunk);
        ReleaseChunk(chunk);
    } else if (!chunk->listed) {
        Push(m_partial[chunk->cls], chunk);
    }
}

CLuaStateAllocator::Chunk* CLuaStateAllocator::TakeChunk(unsigned cls) {
    Chunk* chunk = m_cached;
    if (chunk) {
        Unlink(m_cached, chunk);
        --m_cachedCount;
    } else {
        void* memory = ::operator new(kChunkSize, kChunkAlignment, std::nothrow);
        if (!memory) return nullptr;
        chunk = static_cast<Chunk*>(memory);
        chunk->allPrev = nullptr;
        chunk->allNext = m_all;
        if (m_all) m_all->allPrev = chunk;
        m_all = chunk;
        ++m_chunkCount;
    }
    chunk->prev = chunk->next = nullptr;
    chunk->listed = false;
    chunk->freeList = nullptr;
    chunk->bump = chunk->FirstBlock();
    chunk->end = reinterpret_cast<char*>(chunk) + kChunkSize;
    chunk->live = 0;
    chunk->cls = static_cast<uint8_t>(cls);
    chunk->blockSize = static_cast<uint16_t>((cls + 1) * kGranule);
    ORVEX_POISON(chunk->bump, chunk->end - chunk->bump);
    return chunk;
}

void CLuaStateAllocator::ReleaseChunk(Chunk* chunk) {
    if (m_cachedCount < kMaxCachedChunks) {
        Push(m_cached, chunk);
        ++m_cachedCount;
        return;
    }
    if (chunk->allPrev)
        chunk->allPrev->allNext = chunk->allNext;
    else
        m_all = chunk->allNext;
    if (chunk->allNext) chunk->allNext->allPrev = chunk->allPrev;
    --m_chunkCount;
    ORVEX_UNPOISON(chunk, kChunkSize);
    ::operator delete(chunk, kChunkAlignment);
}

void CLuaStateAllocator::Push(Chunk*& head, Chunk* chunk) {
    chunk->prev = nullptr;
    chunk->next = head;
    if (head) head->prev = chunk;
    head = chunk;
    chunk->listed = true;
}

void CLuaStateAllocator::Unlink(Chunk*& head, Chunk* chunk) {
    if (chunk->prev)
        chunk->prev->next = chunk->next;
    else
        head = chunk->next;
    if (chunk->next) chunk->next->prev = chunk->prev;
    chunk->prev = chunk->next = nullptr;
    chunk->listed = false;
}

}  // namespace orvex
