// The per-state allocator: what Lua asks of a lua_Alloc (contents kept over
// resizes, blocks never overlapping, frees of every size) and that a state
// keeps only a few empty chunks.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "LuaStateAllocator.h"

using orvex::CLuaStateAllocator;

namespace {

struct Block {
    unsigned char* ptr;
    size_t size;
    unsigned char tag;
};

bool Holds(const Block& b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (b.ptr[i] != b.tag) return false;
    return true;
}

size_t RandomSize(std::mt19937& rng) {
    // Mostly small blocks, some large ones, so resizes cross the boundary.
    return rng() % 8 == 0 ? 257 + rng() % 3000 : 1 + rng() % CLuaStateAllocator::kMaxSmall;
}

}  // namespace

TEST(LuaStateAllocator, RandomAllocationsKeepContentsAndNeverOverlap) {
    CLuaStateAllocator pool;
    std::mt19937 rng(20261208);
    std::vector<Block> live;
    unsigned char nextTag = 1;
    for (int step = 0; step < 200000; ++step) {
        const unsigned op = rng() % 10;
        if (live.empty() || op < 4) {
            Block b{nullptr, RandomSize(rng), nextTag++};
            b.ptr = static_cast<unsigned char*>(CLuaStateAllocator::Allocate(&pool, nullptr, 0, b.size));
            ASSERT_NE(b.ptr, nullptr);
            std::memset(b.ptr, b.tag, b.size);
            live.push_back(b);
        } else if (op < 7) {
            Block& b = live[rng() % live.size()];
            const size_t nsize = RandomSize(rng);
            b.ptr = static_cast<unsigned char*>(CLuaStateAllocator::Allocate(&pool, b.ptr, b.size, nsize));
            ASSERT_NE(b.ptr, nullptr);
            ASSERT_TRUE(Holds(b, b.size < nsize ? b.size : nsize)) << "resize " << b.size << " -> " << nsize;
            b.size = nsize;
            std::memset(b.ptr, b.tag, b.size);
        } else {
            const size_t i = rng() % live.size();
            ASSERT_TRUE(Holds(live[i], live[i].size));
            EXPECT_EQ(CLuaStateAllocator::Allocate(&pool, live[i].ptr, live[i].size, 0), nullptr);
            live[i] = live.back();
            live.pop_back();
        }
    }
    // Any overlap would have overwritten another block's tag.
    for (const Block& b : live) ASSERT_TRUE(Holds(b, b.size));
    for (const Block& b : live) CLuaStateAllocator::Allocate(&pool, b.ptr, b.size, 0);
    EXPECT_EQ(pool.ChunkCount(), pool.CachedChunkCount());
    EXPECT_LE(pool.CachedChunkCount(), CLuaStateAllocator::kMaxCachedChunks);
}

TEST(LuaStateAllocator, KeepsOnlyAFewEmptyChunksAfterABurst) {
    CLuaStateAllocator pool;
    std::vector<void*> blocks;
    for (int i = 0; i < 20000; ++i) blocks.push_back(CLuaStateAllocator::Allocate(&pool, nullptr, 0, 48));
    const size_t burst = pool.ChunkCount();
    EXPECT_GT(burst, 50u);
    EXPECT_EQ(pool.CachedChunkCount(), 0u);
    for (void* b : blocks) CLuaStateAllocator::Allocate(&pool, b, 48, 0);
    EXPECT_EQ(pool.ChunkCount(), CLuaStateAllocator::kMaxCachedChunks);
    EXPECT_EQ(pool.CachedChunkCount(), CLuaStateAllocator::kMaxCachedChunks);
    // Cached chunks serve any size class next.
    void* b = CLuaStateAllocator::Allocate(&pool, nullptr, 0, 200);
    EXPECT_EQ(pool.ChunkCount(), CLuaStateAllocator::kMaxCachedChunks);
    EXPECT_EQ(pool.CachedChunkCount(), CLuaStateAllocator::kMaxCachedChunks - 1);
    CLuaStateAllocator::Allocate(&pool, b, 200, 0);
}

TEST(LuaStateAllocator, CountsTheChunkBytesNoBlockTakes) {
    const size_t chunk = CLuaStateAllocator::kChunkSize;
    CLuaStateAllocator pool;
    EXPECT_EQ(pool.UnusedChunkBytes(), 0u);
    // Two blocks of the 48-byte class and one of the 32-byte class: two
    // chunks, each unused but for its blocks; large blocks take none.
    void* a = CLuaStateAllocator::Allocate(&pool, nullptr, 0, 40);
    void* b = CLuaStateAllocator::Allocate(&pool, nullptr, 0, 48);
    void* c = CLuaStateAllocator::Allocate(&pool, nullptr, 0, 20);
    void* large = CLuaStateAllocator::Allocate(&pool, nullptr, 0, 4000);
    ASSERT_TRUE(a && b && c && large);
    EXPECT_EQ(pool.ChunkCount(), 2u);
    EXPECT_EQ(pool.UnusedChunkBytes(), 2 * chunk - 2 * 48 - 32);
    CLuaStateAllocator::Allocate(&pool, a, 40, 0);
    EXPECT_EQ(pool.UnusedChunkBytes(), 2 * chunk - 48 - 32);
    // An emptied chunk stays cached: all of it unused.
    CLuaStateAllocator::Allocate(&pool, c, 20, 0);
    EXPECT_EQ(pool.CachedChunkCount(), 1u);
    EXPECT_EQ(pool.UnusedChunkBytes(), 2 * chunk - 48);
    CLuaStateAllocator::Allocate(&pool, b, 48, 0);
    CLuaStateAllocator::Allocate(&pool, large, 4000, 0);
    EXPECT_EQ(pool.UnusedChunkBytes(), pool.ChunkCount() * chunk);
    EXPECT_EQ(pool.BytesInUse(), 0u);
}

TEST(LuaStateAllocator, RunsALuaStateAndGetsEverythingBackAtClose) {
    CLuaStateAllocator pool;
    lua_State* L = lua_newstate(&CLuaStateAllocator::Allocate, &pool);
    ASSERT_NE(L, nullptr);
    luaL_openlibs(L);
    const char* script =
        "local t = {}\n"
        "for i = 1, 100000 do t[i] = {name = 'item' .. i, i} end\n"
        "local parts = {}\n"
        "for i = 1, #t, 1000 do parts[#parts + 1] = t[i].name end\n"
        "t = nil\n"
        "collectgarbage()\n"
        "return table.concat(parts, ','):sub(1, 22)";
    ASSERT_EQ(luaL_dostring(L, script), 0) << lua_tostring(L, -1);
    EXPECT_STREQ(lua_tostring(L, -1), "item1,item1001,item200");
    lua_close(L);
    EXPECT_EQ(pool.ChunkCount(), pool.CachedChunkCount());
    EXPECT_EQ(pool.BytesInUse(), 0u);
}

TEST(LuaStateAllocator, ALimitRefusesGrowthButNeverAShrink) {
    CLuaStateAllocator pool;
    pool.SetLimit(1000);
    void* a = CLuaStateAllocator::Allocate(&pool, nullptr, 0, 600);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(CLuaStateAllocator::Allocate(&pool, nullptr, 0, 500), nullptr);
    EXPECT_EQ(CLuaStateAllocator::Allocate(&pool, a, 600, 1200), nullptr);  // a stays valid
    a = CLuaStateAllocator::Allocate(&pool, a, 600, 100);                   // into a small block
    ASSERT_NE(a, nullptr);
    void* b = CLuaStateAllocator::Allocate(&pool, nullptr, 0, 900);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(pool.BytesInUse(), 1000u);
    CLuaStateAllocator::Allocate(&pool, a, 100, 0);
    CLuaStateAllocator::Allocate(&pool, b, 900, 0);
    EXPECT_EQ(pool.BytesInUse(), 0u);
}

#if defined(__SANITIZE_ADDRESS__)
// Freed and never handed out parts of a chunk stay poisoned, so the address
// sanitizer still sees a library touching memory Lua has freed.
TEST(LuaStateAllocatorDeathTest, FreedBlocksArePoisonedUnderAddressSanitizer) {
    CLuaStateAllocator pool;
    auto* block = static_cast<volatile char*>(CLuaStateAllocator::Allocate(&pool, nullptr, 0, 40));
    block[39] = 1;
    CLuaStateAllocator::Allocate(&pool, const_cast<char*>(block), 40, 0);
    EXPECT_DEATH(block[8] = 2, "use-after-poison");
    auto* next = static_cast<volatile char*>(CLuaStateAllocator::Allocate(&pool, nullptr, 0, 100));
    EXPECT_DEATH(next[200] = 2, "use-after-poison");
    CLuaStateAllocator::Allocate(&pool, const_cast<char*>(next), 100, 0);
}
#endif
