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

// Encoded script form: Base64 of the bytewise complement of the source.
// Both write into `out` (capacity `outSize`) and return the number of bytes
// the result needs; when that exceeds `outSize` nothing is written and the
// caller retries with a larger buffer. Decoding returns 0 for input that is
// not valid Base64 or decodes to nothing.
ORVEX_API size_t orvexEncodeScript(const char* source, size_t size, char* out, size_t outSize);
ORVEX_API size_t orvexDecodeScript(const char* encoded, size_t size, char* out, size_t outSize);
}
