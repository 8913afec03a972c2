/* A host written in C: drives the engine through the C interface
 * (OrvexEngine.h) only. Usage: orvex_c_host SCRATCH_DIR. Writes its scripts
 * there, checks every answer and exits 0 when all were as expected (1 and a
 * line per failed check otherwise). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "OrvexEngine.h"

static int failures = 0;

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "c_host:%d: failed: %s\n", __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

static void WriteText(const char* path, const char* text, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f) {
        fprintf(stderr, "c_host: cannot write %s\n", path);
        exit(2);
    }
    fwrite(text, 1, size, f);
    fclose(f);
}

static int SameBytes(const OrvexResult* r, const char* expected, size_t expectedSize) {
    size_t size = 0;
    const char* data = orvexResultData(r, &size);
    return size == expectedSize && memcmp(data, expected, size) == 0;
}

int main(int argc, char** argv) {
    char plain[1024], encodedPath[1024];
    static const char kScript[] =
        "limit = 7\n"
        "names = {a = 'x', b = 'y\\0z'}\n"
        "function orvexScriptMain(first, second) return first .. '|' .. #second end\n"
        "function untouched() end\n"
        "function fails() return false end\n";
    const char* args[2] = {"one", "t\0w\0o"};
    const size_t sizes[2] = {3, 5};
    OrvexResult* result = NULL;
    OrvexResult* map = NULL;
    size_t need, keySize = 0, valueSize = 0;
    char* encoded;
    int ok;
    if (argc != 2) {
        fprintf(stderr, "usage: %s SCRATCH_DIR\n", argv[0]);
        return 2;
    }
    snprintf(plain, sizeof plain, "%s/c_host.lua", argv[1]);
    snprintf(encodedPath, sizeof encodedPath, "%s/c_host.enc", argv[1]);
    WriteText(plain, kScript, sizeof kScript - 1);
    need = orvexEncodeScript(kScript, sizeof kScript - 1, NULL, 0);
    encoded = (char*)malloc(need);
    CHECK(encoded && orvexEncodeScript(kScript, sizeof kScript - 1, encoded, need) == need);
    WriteText(encodedPath, encoded, need);
    free(encoded);

    /* Arguments with zero bytes arrive whole; the function's text comes back. */
    ok = orvexExecLua(plain, strlen(plain), NULL, 0, args, sizes, 2, 0, "before", 6, &result);
    CHECK(ok == 1);
    CHECK(SameBytes(result, "one|5", 5));
    orvexResultFree(result);

    /* A function that leaves the text alone gives the text passed in back. */
    ok = orvexLockExecLua(plain, strlen(plain), "untouched", 9, NULL, NULL, 0, 0, "kept\0x", 6, &result);
    CHECK(ok == 1);
    CHECK(SameBytes(result, "kept\0x", 6));
    orvexResultFree(result);
    ok = orvexExecLua(plain, strlen(plain), "fails", 5, NULL, NULL, 0, 0, NULL, 0, NULL);
    CHECK(ok == 0);
    ok = orvexExecLua(plain, strlen(plain), "missing", 7, NULL, NULL, 0, 0, NULL, 0, &result);
    CHECK(ok == 0);
    CHECK(SameBytes(result, "isfunction fail", 15));
    orvexResultFree(result);

    /* The encoded file, and the globals. */
    ok = orvexExecLua(encodedPath, strlen(encodedPath), NULL, 0, args, sizes, 2, 1, NULL, 0, &result);
    CHECK(ok == 1);
    CHECK(SameBytes(result, "one|5", 5));
    orvexResultFree(result);
    CHECK(orvexGetVarInt(plain, strlen(plain), "limit", 5, 0) == 7);
    CHECK(orvexGetVarInt(plain, strlen(plain), "nothing", 7, 0) == 0);
    map = orvexGetVarMap(plain, strlen(plain), "names", 5, 0);
    CHECK(map != NULL && orvexResultCount(map) == 2);
    if (map && orvexResultCount(map) == 2) {
        const char* key = orvexResultKey(map, 1, &keySize);
        const char* value = orvexResultValue(map, 1, &valueSize);
        CHECK(keySize == 1 && key[0] == 'b');
        CHECK(valueSize == 3 && memcmp(value, "y\0z", 3) == 0);
        CHECK(orvexResultKey(map, 2, &keySize) == NULL && keySize == 0);
    }
    orvexResultFree(map);
    orvexClearLuaCache();

    /* A host setting, and the statistics. */
    orvexSetRunTimeLimit(200);
    WriteText(plain, "function orvexScriptMain() while true do end end\n", 49);
    ok = orvexExecLua(plain, strlen(plain), NULL, 0, NULL, NULL, 0, 0, NULL, 0, &result);
    CHECK(ok == 0);
    CHECK(SameBytes(result, "script time limit exceeded", 26));
    orvexResultFree(result);
    orvexSetRunTimeLimit(0);
    need = orvexGetStatistics(NULL, 0);
    CHECK(need > 0);
    orvexResultFree(NULL);

    remove(plain);
    remove(encodedPath);
    if (failures == 0) printf("c_host: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
