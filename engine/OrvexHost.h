// Host-side settings of the orvexLuaEngine library.
//
// An agent normally needs none of these: the application directory is the
// directory of the running executable, the local code page follows the
// process locale and log records go to stderr. Hosts with other needs (and
// tests) override them here. All of these are safe to call at any time from
// any thread.
#pragma once

#include <stddef.h>

#include "LuaEngineInterface.h"

extern "C" {

// Directory that stands for the agent's application directory (module scripts
// live in its "luascript" subdirectory). NULL or "" restores the default.
ORVEX_API void orvexSetApplicationDir(const char* dir);

// Code page of the host's texts, as an iconv name ("GBK", "ISO-8859-1",
// "UTF-8"). NULL or "" restores the default taken from the locale variables.
// On Windows the same names work, as do "CP1252"-style names and code page
// numbers; the default, and what a name unknown there falls back to, is the
// ANSI code page.
ORVEX_API void orvexSetLocalCodePage(const char* codePage);

// Receives every log record. `source` may be "" (whole-text records).
typedef void (*OrvexLogSink)(int level, const char* source, int line, const char* text,
                             void* user);
// Installs a log sink; NULL restores the default sink (one line on stderr).
ORVEX_API void orvexSetLogSink(OrvexLogSink sink, void* user);

// Most bytes a script function reads into memory from a command's output
// (ExecCommand, ExecCommandReadAll, Exec) or an HTTP body (HttpGetToBuffer,
// the POST responses). Past it the call gives its failure result and the
// command (with everything it started) or the transfer is ended. 0 restores
// the default of 64 MiB.
ORVEX_API void orvexSetReadLimit(size_t bytes);

// Bounds of script runs. With none of them set, runs are not bounded.
//
// Wall-clock limit of one run, in milliseconds (0: none, the default): of
// ExecLua, LockExecLua, GetVarInt and GetVarMap, counted from when the run
// holds the engine lock, the main chunk, the function call and the module
// loads inside them included. A run over its time ends with outcome false
// and the result "script time limit exceeded" (GetVarInt 0, GetVarMap an
// empty map); the engine lock is released and the thread's state stays
// usable.
ORVEX_API void orvexSetRunTimeLimit(unsigned milliseconds);
// The same for the run of each script thread (orvexThread), which the run
// limit does not bound (0: none, the default).
ORVEX_API void orvexSetScriptThreadTimeLimit(unsigned milliseconds);
// Most bytes one thread's Lua state may hold (0: no limit, the default). A
// run that needs more gets Lua's "not enough memory" and ends with outcome
// false and that result; a state left close to its limit is replaced by a
// fresh one (its globals are gone). Other threads' states are untouched.
ORVEX_API void orvexSetStateMemoryLimit(size_t bytes);
// Ends every run in progress, and every script thread's, at its next check
// (every thousand Lua instructions, every script function call, and at
// once where a script function waits): outcome false, result "script
// stopped". Runs that start after the call run normally. For service stop
// and policy reloads.
ORVEX_API void orvexStopAllRuns(void);
// The engine's counters as a JSON text: per Lua state (thread id, bytes in
// use and peak, runs, failed runs, time-outs, stops, runs ended at the
// memory limit, total run time), the source cache (entries, bytes, hits,
// misses), the engine lock (tries that waited, tries that timed out), script
// threads (running, started, ended with an error) and the limits set. Writes
// it into `out` (capacity `outSize`, no terminating zero) and returns its
// length; when that exceeds `outSize` nothing is written.
ORVEX_API size_t orvexGetStatistics(char* out, size_t outSize);

// Encoded script form: Base64 of the bytewise complement of the source.
// Both write into `out` (capacity `outSize`) and return the number of bytes
// the result needs; when that exceeds `outSize` nothing is written and the
// caller retries with a larger buffer. Decoding returns 0 for input that is
// not valid Base64 or decodes to nothing.
ORVEX_API size_t orvexEncodeScript(const char* source, size_t size, char* out, size_t outSize);
ORVEX_API size_t orvexDecodeScript(const char* encoded, size_t size, char* out, size_t outSize);
}
