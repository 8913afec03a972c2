/* The orvexLuaEngine library's C interface: everything the C++ interface
 * (LuaEngineInterface.h) does, and every host setting, with plain C types
 * only, for hosts built with another compiler or written in another
 * language.
 *
 * Texts are byte strings in the host's local code page, passed as a pointer
 * and a length: they may hold zero bytes. A NULL pointer with length 0 is
 * the empty text. Results that the library allocates are OrvexResult
 * objects, which the host frees with orvexResultFree. None of these
 * functions fails by an exception or ends the process; all of them may be
 * called from any thread at any time.
 */
#ifndef ORVEX_ENGINE_H
#define ORVEX_ENGINE_H

#include <stddef.h>

#include "OrvexExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Running scripts ---------------------------------------------------- */

/* A result: a text (orvexResultData) or, from orvexGetVarMap, a list of
 * key/value texts in key order. */
typedef struct OrvexResult OrvexResult;

/* The text's bytes (not zero-terminated) and their count. */
ORVEX_API const char* orvexResultData(const OrvexResult* result, size_t* size);
/* A map's entries, and entry `index`'s key and value (NULL past the end). */
ORVEX_API size_t orvexResultCount(const OrvexResult* result);
ORVEX_API const char* orvexResultKey(const OrvexResult* result, size_t index, size_t* size);
ORVEX_API const char* orvexResultValue(const OrvexResult* result, size_t index, size_t* size);
/* Frees a result; NULL is fine. */
ORVEX_API void orvexResultFree(OrvexResult* result);

/* Runs the script file's main chunk in the calling thread's Lua state, then
 * calls the global function `function` (empty: "orvexScriptMain") with the
 * `argCount` arguments (argument i is args[i], argSizes[i] bytes), and
 * returns the outcome (1 or 0). The result text starts as `resultIn` and
 * comes back in *result as the function leaves it (its text result, a
 * failure text, or `resultIn` unchanged): exactly what the C++ ExecLua does
 * with its result string. `result` may be NULL when the text is not wanted;
 * otherwise free it with orvexResultFree (*result is NULL only when memory
 * ran out, and the outcome is then 0). `encoded`: nonzero when the file
 * holds the encoded form. */
ORVEX_API int orvexExecLua(const char* script, size_t scriptSize, const char* function, size_t functionSize,
                           const char* const* args, const size_t* argSizes, size_t argCount, int encoded,
                           const char* resultIn, size_t resultInSize, OrvexResult** result);
/* As orvexExecLua, with no other script running at the same time. */
ORVEX_API int orvexLockExecLua(const char* script, size_t scriptSize, const char* function, size_t functionSize,
                               const char* const* args, const size_t* argSizes, size_t argCount, int encoded,
                               const char* resultIn, size_t resultInSize, OrvexResult** result);
/* Integer value of a global after the script's main chunk ran; 0 on failure. */
ORVEX_API int orvexGetVarInt(const char* script, size_t scriptSize, const char* name, size_t nameSize,
                             int encoded);
/* String entries of a global table after the main chunk ran, as a map
 * result (no entries on failure); NULL only when memory ran out. */
ORVEX_API OrvexResult* orvexGetVarMap(const char* script, size_t scriptSize, const char* name, size_t nameSize,
                                      int encoded);
/* Forgets every cached decoded script source. */
ORVEX_API void orvexClearLuaCache(void);

/* ---- Host settings -------------------------------------------------------
 * An agent normally needs none of these: the application directory is the
 * directory of the running executable, the local code page follows the
 * process locale and log records go to stderr. Hosts with other needs (and
 * tests) override them here. */

/* Directory that stands for the agent's application directory (module scripts
 * live in its "luascript" subdirectory). NULL or "" restores the default. */
ORVEX_API void orvexSetApplicationDir(const char* dir);

/* Code page of the host's texts, as an iconv name ("GBK", "ISO-8859-1",
 * "UTF-8"). NULL or "" restores the default taken from the locale variables.
 * On Windows the same names work, as do "CP1252"-style names and code page
 * numbers; the default, and what a name unknown there falls back to, is the
 * ANSI code page. */
ORVEX_API void orvexSetLocalCodePage(const char* codePage);

/* Receives every log record. `source` may be "" (whole-text records). */
typedef void (*OrvexLogSink)(int level, const char* source, int line, const char* text,
                             void* user);
/* Installs a log sink; NULL restores the default sink (one line on stderr). */
ORVEX_API void orvexSetLogSink(OrvexLogSink sink, void* user);

/* Most bytes a script function reads into memory from a command's output
 * (ExecCommand, ExecCommandReadAll, Exec) or an HTTP body (HttpGetToBuffer,
 * the POST responses). Past it the call gives its failure result and the
 * command (with everything it started) or the transfer is ended. 0 restores
 * the default of 64 MiB. */
ORVEX_API void orvexSetReadLimit(size_t bytes);

/* Bounds of script runs. With none of them set, runs are not bounded.
 *
 * Wall-clock limit of one run, in milliseconds (0: none, the default): of
 * ExecLua, LockExecLua, GetVarInt and GetVarMap, counted from when the run
 * holds the engine lock, the main chunk, the function call and the module
 * loads inside them included. A run over its time ends with outcome false
 * and the result "script time limit exceeded" (GetVarInt 0, GetVarMap an
 * empty map); the engine lock is released and the thread's state stays
 * usable. */
ORVEX_API void orvexSetRunTimeLimit(unsigned milliseconds);
/* The same for the run of each script thread (orvexThread), which the run
 * limit does not bound (0: none, the default). */
ORVEX_API void orvexSetScriptThreadTimeLimit(unsigned milliseconds);
/* Most bytes one thread's Lua state may hold (0: no limit, the default). A
 * run that needs more gets Lua's "not enough memory" and ends with outcome
 * false and that result; a state left close to its limit is replaced by a
 * fresh one (its globals are gone). Other threads' states are untouched. */
ORVEX_API void orvexSetStateMemoryLimit(size_t bytes);
/* Ends every run in progress, and every script thread's, at its next check
 * (every thousand Lua instructions, every script function call, and at
 * once where a script function waits): outcome false, result "script
 * stopped". Runs that start after the call run normally. For service stop
 * and policy reloads. */
ORVEX_API void orvexStopAllRuns(void);
/* The engine's counters as a JSON text: per Lua state (thread id, bytes in
 * use and peak, runs, failed runs, time-outs, stops, runs ended at the
 * memory limit, total run time), the source cache (entries, bytes, hits,
 * misses), the engine lock (tries that waited, tries that timed out), script
 * threads (running, started, ended with an error) and the limits set. Writes
 * it into `out` (capacity `outSize`, no terminating zero) and returns its
 * length; when that exceeds `outSize` nothing is written. */
ORVEX_API size_t orvexGetStatistics(char* out, size_t outSize);

/* Encoded script form: Base64 of the bytewise complement of the source.
 * Both write into `out` (capacity `outSize`) and return the number of bytes
 * the result needs; when that exceeds `outSize` nothing is written and the
 * caller retries with a larger buffer. Decoding returns 0 for input that is
 * not valid Base64 or decodes to nothing. */
ORVEX_API size_t orvexEncodeScript(const char* source, size_t size, char* out, size_t outSize);
ORVEX_API size_t orvexDecodeScript(const char* encoded, size_t size, char* out, size_t outSize);

#ifdef __cplusplus
}
#endif

#endif /* ORVEX_ENGINE_H */
