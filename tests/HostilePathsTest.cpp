// Every path argument of the file, archive, INI, SQLite, HTTP-to-file and
// plug-in functions, given in turn each kind of thing a hostile tree can
// hold at a name: links to a file and a directory outside the tree, pipes
// with and without a peer, device nodes, a listening socket, /proc files,
// a directory, paths of 4,000 bytes and past PATH_MAX, a name with a line
// break. A table says what each call gives for each kind; for each
// combination the call must answer within a bounded wait, give that
// result, and leave the tree, the world outside it and the peers as they
// were (or change only what the table's mark allows).
//
// The calls run in the `orvex` command (the shipped library) over a call
// server script (tests/lua/hostile_paths.lua) that reads one call per line:
// a call that waits for good is caught by the time-out, its server is
// killed and a fresh one takes the next call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "LoopbackHttpServer.h"
#include "TestSupport.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;
#endif

namespace {

// The kinds of thing at the path argument (the columns of the table).
enum Kind {
    kLinkToFile,   // a symbolic link in the tree to outside/secret
    kLinkToDir,    // a symbolic link in the tree to outside/dir
    kFifo,         // a named pipe, no peer
    kFifoReader,   // a named pipe with a reader waiting
    kFifoWriter,   // a named pipe with a writer that has written 5 bytes
    kNull,         // a character device with /dev/null's numbers
    kZero,         // a character device with /dev/zero's numbers
    kSocket,       // a UNIX socket, bound and listening
    kProcStatus,   // /proc/self/status
    kKmsg,         // /proc/kmsg: a "regular file" whose reads wait
    kDir,          // a directory holding a file
    kLong,         // a file at a path of 4,000 bytes (real nested directories)
    kTooLong,      // a file at a path of 5,000 bytes, past PATH_MAX
    kLineBreak,    // a file whose name holds a line break
    kKindCount
};

const char* const kKindNames[kKindCount] = {
    "link to a file outside", "link to a directory outside", "pipe without a peer", "pipe with a reader",
    "pipe with a writer",     "null device",                 "zero device",         "listening socket",
    "/proc/self/status",      "/proc/kmsg",                  "directory",           "4,000-byte path",
    "path past PATH_MAX",     "name with a line break"};

// A call (Lua, P the path under test; F a regular file, D a directory, Z an
// archive of D, S a path in an empty scratch directory, U the loopback
// server) and what it gives for each kind, as docs/script-api.md says.
//
// Results: T F true, false; - nothing (or nil); 0 the number 0; E the empty
// string; P the path itself; name its last component; str a non-empty
// string; md5 a digest; time a time stamp, tim? one or nothing (the file
// system may record no birth); own the test's user; ini the INI text every
// regular file of the test holds, size its length, 1 the value of its key
// s/k; list a list; nop HttpPostFromFile without a request (false, "0",
// ""), post with one answered (true, "200", the body); ierr "load ini file
// error."; n/a not asked (see the table).
// Marks: none, nothing changes anywhere; * the object at P itself changes
// or goes (written, emptied, removed), nothing outside does; ^ what the
// link at P names changes (a link at the named path is followed, by the
// documented rule), and the link stays as it is.
struct Row {
    const char* call;
    const char* cells[kKindCount];
};

#if !defined(_WIN32)
// clang-format off
const Row kRows[] = {
//                  lnF    lnD    fifo   fifoR  fifoW  null   zero   sock   proc   kmsg   dir    long   tooL   nl
    {"orvexUtil.IsFile(P)",
                  {"T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "T",   "F",   "T",   "F",   "T"}},
    {"orvexUtil.IsDir(P)",
                  {"F",   "T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "F",   "F",   "F"}},
    {"orvexUtil.mkdir(P)",
                  {"F",   "T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "F",   "F",   "F"}},
    {"orvexUtil.CopyDirectoryFile(P, S)",
                  {"F",   "T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "F",   "F",   "F"}},
    {"orvexUtil.CopyDirectoryFile(D, P)",
                  {"F",   "T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T*",  "F",   "F",   "F"}},
    {"orvexUtil.CopyFileUtil(P, S)",
                  {"T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "F",   "F",   "T",   "F",   "T"}},
    {"orvexUtil.CopyFileUtil(F, P)",
                  {"T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "F",   "T"}},
    {"orvexUtil.RemoveFile(P)",
                  {"T*",  "T",   "T",   "T",   "T",   "T",   "T",   "T",   "F",   "F",   "T",   "T*",  "T",   "T*"}},
    {"orvexUtil.RemoveDir(P)",
                  {"T",   "T*",  "T",   "T",   "T",   "T",   "T",   "T",   "T",   "T",   "T*",  "T",   "T",   "T"}},
    {"orvexUtil.RemoveFileInDir(P)",
                  {"T",   "T^",  "T",   "T",   "T",   "T",   "T",   "T",   "T",   "T",   "T*",  "T",   "T",   "T"}},
//                  lnF    lnD    fifo   fifoR  fifoW  null   zero   sock   proc   kmsg   dir    long   tooL   nl
    {"orvexUtil.GetAllFileFromDir(P)",
                  {"-",   "list","-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "list","-",   "-",   "-"}},
    {"orvexUtil.GetOneFileFromDir(P)",
                  {"-",   "str", "-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "str", "-",   "-",   "-"}},
    {"orvexUtil.GetFileOwner(P)",
                  {"own", "own", "own", "own", "own", "own", "own", "own", "own", "own", "own", "own", "-",   "own"}},
    {"orvexUtil.GetFileCreateTime(P)",
                  {"tim?","tim?","tim?","tim?","tim?","tim?","tim?","tim?","tim?","tim?","tim?","tim?","-",   "tim?"}},
    {"orvexUtil.GetFileLastModified(P)",
                  {"time","time","time","time","time","time","time","time","time","time","time","time","-",   "time"}},
    {"orvexUtil.WriteNewFile(P, \"new\")",
                  {"T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T*",  "F",   "T*"}},
    {"orvexUtil.WriteAppenFile(P, \"new\")",
                  {"T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T*",  "F",   "T*"}},
    {"orvexUtil.WriteOffsetFile(P, 2, \"new\")",
                  {"T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T*",  "F",   "T*"}},
    {"orvexUtil.ReadFullFile(P)",
                  {"ini", "-",   "-",   "-",   "-",   "-",   "-",   "-",   "str", "-",   "-",   "ini", "-",   "ini"}},
    {"orvexUtil.ReadOffsetFile(P, 0, 4)",
                  {"str", "-",   "-",   "-",   "-",   "-",   "-",   "-",   "str", "-",   "-",   "str", "-",   "str"}},
//                  lnF    lnD    fifo   fifoR  fifoW  null   zero   sock   proc   kmsg   dir    long   tooL   nl
    {"orvexUtil.GetFileSize(P)",
                  {"size","0",   "0",   "0",   "0",   "0",   "0",   "0",   "0",   "0",   "0",   "size","0",   "size"}},
    {"orvexUtil.absoluteFilePath(P)",
                  {"P",   "P",   "P",   "P",   "P",   "P",   "P",   "P",   "P",   "P",   "P",   "P",   "P",   "P"}},
    {"orvexUtil.GetFileNameFromPath(P)",
                  {"name","name","name","name","name","name","name","name","name","name","name","name","name","name"}},
    {"orvexUtil.HttpGetToFile(U .. \"/files/dir/a.txt\", P)",
                  {"T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T*",  "F",   "T*"}},
    {"orvexUtil.HttpPostFromFile(U .. \"/echo\", P)",
                  {"post","nop", "nop", "nop", "nop", "nop", "nop", "nop", "post","nop", "nop", "post","nop", "post"}},
    {"orvexUtil.miniUnzip(P, S)",
                  {"F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F"}},
    {"orvexUtil.miniUnzip(Z, P)",
                  {"F",   "T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T*",  "F",   "F",   "F"}},
    {"orvexUtil.DirzipFile(P, S)",
                  {"F",   "T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "F",   "F",   "F"}},
    {"orvexUtil.DirzipFile(D, P)",
                  {"T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T*",  "F",   "T*"}},
    {"orvexAlgorithm.GetFileMd5(P)",
                  {"md5", "-",   "-",   "-",   "-",   "-",   "-",   "-",   "md5", "-",   "-",   "md5", "-",   "md5"}},
//                  lnF    lnD    fifo   fifoR  fifoW  null   zero   sock   proc   kmsg   dir    long   tooL   nl
    {"orvexIni.GetIniValue(P, \"s/k\")",
                  {"1",   "E",   "E",   "E",   "E",   "E",   "E",   "E",   "E",   "E",   "E",   "1",   "E",   "1"}},
    {"orvexIni.SetIniValue(P, \"s/k\", \"2\")",
                  {"T^",  "ierr","ierr","ierr","ierr","ierr","ierr","ierr","F",   "ierr","ierr","T*",  "ierr","T*"}},
    {"orvexIni.RemoveKeyValue(P, \"s/k\")",
                  {"T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "ierr","F",   "T*",  "F",   "T*"}},
    {"orvexSqlite.execDml(P, \"CREATE TABLE IF NOT EXISTS t(x)\")",
                  {"F",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "F",   "-",   "-",   "-",   "-",   "F"}},
    {"orvexSqlite.execQuery(P, \"SELECT 1\")",
                  {"list","-",   "-",   "-",   "-",   "-",   "-",   "-",   "list","-",   "-",   "-",   "-",   "list"}},
    {"orvexLibrary.LoadModule(P)",
                  {"F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F"}},
    {"orvexLibrary.CallModuleFuncWithParam(P, \"Echo\", \"x\")",
                  {"-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "-"}},
    {"orvexLibrary.CloseModule(P)",
                  {"F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F"}},
    {"orvexLibrary.IsLoadLibrary(P)",
                  {"F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F"}},
};
// clang-format on
#else
// Under Wine, which shows the Linux pipes, devices and sockets as files it
// cannot open and a Linux link to a file as that file: a whole-file write
// replaces the link itself, as Windows does (its links are reparse points,
// which the move replaces), while in-place writes go through it. Wine
// removes what a link names, never the link: RemoveFile of the link to a
// file is not asked here, and RemoveDir of the link to a directory fails
// (the directory it names is not empty) where Windows removes the link.
// Windows takes no line break in a name, so that path names nothing. (Wine
// makes no links of its own: FSCTL_SET_REPARSE_POINT is not supported, so
// no junction, and CreateSymbolicLinkW makes nothing; the links here are
// Linux links.)
// clang-format off
const Row kRows[] = {
//                  lnF    lnD    fifo   fifoR  fifoW  null   zero   sock   proc   kmsg   dir    long   tooL   nl
    {"orvexUtil.IsFile(P)",
                  {"T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "n/a", "F",   "T",   "F",   "F"}},
    {"orvexUtil.IsDir(P)",
                  {"F",   "T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "T",   "F",   "F",   "F"}},
    {"orvexUtil.mkdir(P)",
                  {"F",   "T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "T",   "F",   "F",   "F"}},
    {"orvexUtil.CopyDirectoryFile(P, S)",
                  {"F",   "T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "T",   "F",   "F",   "F"}},
    {"orvexUtil.CopyDirectoryFile(D, P)",
                  {"F",   "T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "T*",  "F",   "F",   "F"}},
    {"orvexUtil.CopyFileUtil(P, S)",
                  {"T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "T",   "n/a", "F",   "T",   "F",   "F"}},
    {"orvexUtil.CopyFileUtil(F, P)",
                  {"T*",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "T*",  "F",   "F"}},
    {"orvexUtil.RemoveFile(P)",
                  {"n/a",  "T",   "T",   "T",   "T",   "T",   "T",   "T",   "F",   "n/a", "T",   "T*",  "T",   "T"}},
    {"orvexUtil.RemoveDir(P)",
                  {"T",   "F",   "T",   "T",   "T",   "T",   "T",   "T",   "T",   "n/a", "T*",  "T",   "T",   "T"}},
    {"orvexUtil.RemoveFileInDir(P)",
                  {"T",   "T^",  "T",   "T",   "T",   "T",   "T",   "T",   "T",   "n/a", "T*",  "T",   "T",   "T"}},
//                  lnF    lnD    fifo   fifoR  fifoW  null   zero   sock   proc   kmsg   dir    long   tooL   nl
    {"orvexUtil.GetAllFileFromDir(P)",
                  {"-",   "list","-",   "-",   "-",   "-",   "-",   "-",   "-",   "n/a", "list","-",   "-",   "-"}},
    {"orvexUtil.GetOneFileFromDir(P)",
                  {"-",   "str", "-",   "-",   "-",   "-",   "-",   "-",   "-",   "n/a", "str", "-",   "-",   "-"}},
    {"orvexUtil.GetFileOwner(P)",
                  {"own", "own", "own", "own", "own", "own", "own", "-",   "own", "n/a", "own", "own", "-",   "-"}},
    {"orvexUtil.GetFileCreateTime(P)",
                  {"tim?","tim?","tim?","tim?","tim?","tim?","tim?","tim?","tim?","n/a", "tim?","tim?","-",   "tim?"}},
    {"orvexUtil.GetFileLastModified(P)",
                  {"time","time","-",   "-",   "-",   "-",   "-",   "-",   "time","n/a", "time","time","-",   "-"}},
    {"orvexUtil.WriteNewFile(P, \"new\")",
                  {"T*",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "T*",  "F",   "F"}},
    {"orvexUtil.WriteAppenFile(P, \"new\")",
                  {"T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "T*",  "F",   "F"}},
    {"orvexUtil.WriteOffsetFile(P, 2, \"new\")",
                  {"T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "T*",  "F",   "F"}},
    {"orvexUtil.ReadFullFile(P)",
                  {"ini", "-",   "-",   "-",   "-",   "-",   "-",   "-",   "str", "n/a", "-",   "ini", "-",   "-"}},
    {"orvexUtil.ReadOffsetFile(P, 0, 4)",
                  {"str", "-",   "-",   "-",   "-",   "-",   "-",   "-",   "str", "n/a", "-",   "str", "-",   "-"}},
//                  lnF    lnD    fifo   fifoR  fifoW  null   zero   sock   proc   kmsg   dir    long   tooL   nl
    {"orvexUtil.GetFileSize(P)",
                  {"size","0",   "0",   "0",   "0",   "0",   "0",   "0",   "0",   "n/a", "0",   "size","0",   "0"}},
    {"orvexUtil.absoluteFilePath(P)",
                  {"P",   "P",   "P",   "P",   "P",   "P",   "P",   "P",   "P",   "n/a", "P",   "P",   "P",   "P"}},
    {"orvexUtil.GetFileNameFromPath(P)",
                  {"name","name","name","name","name","name","name","name","name","n/a", "name","name","name","name"}},
    {"orvexUtil.HttpGetToFile(U .. \"/files/dir/a.txt\", P)",
                  {"T*",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "T*",  "F",   "F"}},
    {"orvexUtil.HttpPostFromFile(U .. \"/echo\", P)",
                  {"post","nop", "nop", "nop", "nop", "nop", "nop", "nop", "post","n/a", "nop", "post","nop", "nop"}},
    {"orvexUtil.miniUnzip(P, S)",
                  {"F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "F",   "F",   "F"}},
    {"orvexUtil.miniUnzip(Z, P)",
                  {"F",   "T^",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "T*",  "F",   "F",   "F"}},
    {"orvexUtil.DirzipFile(P, S)",
                  {"F",   "T",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "T",   "F",   "F",   "F"}},
    {"orvexUtil.DirzipFile(D, P)",
                  {"T*",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "T*",  "F",   "F"}},
    {"orvexAlgorithm.GetFileMd5(P)",
                  {"md5", "-",   "-",   "-",   "-",   "-",   "-",   "-",   "md5", "n/a", "-",   "md5", "-",   "-"}},
//                  lnF    lnD    fifo   fifoR  fifoW  null   zero   sock   proc   kmsg   dir    long   tooL   nl
    {"orvexIni.GetIniValue(P, \"s/k\")",
                  {"1",   "E",   "E",   "E",   "E",   "E",   "E",   "E",   "E",   "n/a", "E",   "1",   "E",   "E"}},
    {"orvexIni.SetIniValue(P, \"s/k\", \"2\")",
                  {"T*",  "ierr","ierr","ierr","ierr","ierr","ierr","ierr","F",   "n/a", "ierr","T*",  "ierr","ierr"}},
    {"orvexIni.RemoveKeyValue(P, \"s/k\")",
                  {"T*",  "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "T*",  "F",   "F"}},
    {"orvexSqlite.execDml(P, \"CREATE TABLE IF NOT EXISTS t(x)\")",
                  {"F",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "F",   "n/a", "-",   "-",   "-",   "-"}},
    {"orvexSqlite.execQuery(P, \"SELECT 1\")",
                  {"list","-",   "-",   "-",   "-",   "-",   "-",   "-",   "list","n/a", "-",   "-",   "-",   "-"}},
    {"orvexLibrary.LoadModule(P)",
                  {"F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "F",   "F",   "F"}},
    {"orvexLibrary.CallModuleFuncWithParam(P, \"Echo\", \"x\")",
                  {"-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "-",   "n/a", "-",   "-",   "-",   "-"}},
    {"orvexLibrary.CloseModule(P)",
                  {"F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "F",   "F",   "F"}},
    {"orvexLibrary.IsLoadLibrary(P)",
                  {"F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "F",   "n/a", "F",   "F",   "F",   "F"}},
};
// clang-format on
#endif

const char kIniText[] = "[s]\r\nk = 1\r\n";
#if defined(_WIN32)
const char kSeparators[] = "\\/";
#else
const char kSeparators[] = "/";
#endif

// A value as the call server shows it (tests/lua/hostile_paths.lua).
std::string Show(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c >= ' ' && c <= '~' && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char code[8];
            snprintf(code, sizeof code, "\\%03u", c);
            out += code;
        }
    }
    return out + "\"";
}

struct Cell {
    std::string result;
    char mark = 0;  // 0, '*' or '^'
};

Cell ParseCell(const std::string& text) {
    Cell cell{text};
    if (!text.empty() && (text.back() == '*' || text.back() == '^') && text.size() > 1) {
        cell.mark = text.back();
        cell.result.pop_back();
    }
    return cell;
}

// Whether `text` is a shown string (see Show) of `count` characters that
// all pass `ok`, or of at least one character when `count` is 0.
bool IsShownString(const std::string& text, size_t count = 0, int (*ok)(int) = nullptr) {
    if (text.size() < 3 || text.front() != '"' || text.back() != '"') return false;
    const std::string inner = text.substr(1, text.size() - 2);
    if (inner.find('"') != std::string::npos || (count && inner.size() != count)) return false;
    for (unsigned char c : inner)
        if (ok && !ok(c)) return false;
    return true;
}

int IsLowerHex(int c) { return isdigit(c) || (c >= 'a' && c <= 'f'); }

// "YYYY-MM-DD hh:mm:ss", shown.
bool IsShownTime(const std::string& text) {
    if (!IsShownString(text, 19)) return false;
    for (size_t i = 1; i <= 19; ++i) {
        const char c = text[i];
        const bool digit = isdigit(static_cast<unsigned char>(c)) != 0;
        if (i == 5 || i == 8 ? c != '-' : i == 11 ? c != ' ' : i == 14 || i == 17 ? c != ':' : !digit) return false;
    }
    return true;
}

// Whether the call server's reply is the cell's result.
bool Matches(const std::string& result, const std::string& reply, const std::string& path, const std::string& owner) {
    const std::string posted = "true,\"200\",";
    if (result == "str") return IsShownString(reply);
    if (result == "md5") return IsShownString(reply, 32, &IsLowerHex);
    if (result == "time") return IsShownTime(reply);
    if (result == "tim?") return reply == "nil" || IsShownTime(reply);
    if (result == "list") return reply.size() > 2 && reply.front() == '{' && reply.back() == '}';
    if (result == "post") return reply.compare(0, posted.size(), posted) == 0 && IsShownString(reply.substr(posted.size()));
    const std::map<std::string, std::string> exact = {
        {"T", "true"},
        {"F", "false"},
        {"-", "nil"},
        {"0", "0"},
        {"E", Show("")},
        {"P", Show(path)},
        {"name", Show(path.substr(path.find_last_of(kSeparators) + 1))},
        {"own", Show(owner)},
        {"ini", Show(kIniText)},
        {"size", std::to_string(sizeof kIniText - 1)},
        {"1", Show("1")},
        {"nop", "false,\"0\",\"\""},
        {"ierr", Show("load ini file error.")},
    };
    auto it = exact.find(result);
    if (it == exact.end()) ADD_FAILURE() << "no such result in the table: " << result;
    return it != exact.end() && reply == it->second;
}

// The first line in which two descriptions differ, shortened.
std::string FirstDifference(const std::string& before, const std::string& after) {
    size_t at = 0;
    while (at < before.size() && at < after.size() && before[at] == after[at]) ++at;
    size_t start = before.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    auto line = [start](const std::string& text) {
        std::string l = text.substr(start, text.find('\n', start) - start);
        return l.size() > 160 ? "..." + l.substr(l.size() - 160) : l;
    };
    return "was [" + line(before) + "], is [" + line(after) + "]";
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace

#if !defined(_WIN32)
namespace {

using orvextest::TempDir;

// A descriptor that closes itself.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void Reset(int f = -1) {
        if (fd >= 0) close(fd);
        fd = f;
    }
};

// The names in the open directory `dir`, sorted, without "." and "..".
std::vector<std::string> Names(int dir) {
    std::vector<std::string> names;
    Fd self(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* d = self.fd >= 0 ? fdopendir(self.fd) : nullptr;
    if (!d) return names;
    self.fd = -1;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Removes everything below the open directory `dir`, never through a link.
void RemoveBelow(int dir) {
    for (const std::string& name : Names(dir)) {
        if (unlinkat(dir, name.c_str(), 0) == 0) continue;
        Fd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.fd >= 0) RemoveBelow(sub.fd);
        unlinkat(dir, name.c_str(), AT_REMOVEDIR);
    }
}

void Empty(const std::string& dir) {
    Fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (d.fd >= 0) RemoveBelow(d.fd);
}

// One line per entry below `dir` (its kind, mode, owner and what it holds:
// a file's bytes, a link's target, a device's numbers), entries in name
// order, directories recursively: equal texts mean nothing changed.
void Describe(int dir, const std::string& prefix, std::string& out) {
    for (const std::string& name : Names(dir)) {
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        out += prefix + name + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
               std::to_string(st.st_gid);
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target);
            out += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            out += " dev " + std::to_string(major(st.st_rdev)) + "," + std::to_string(minor(st.st_rdev));
        } else if (S_ISREG(st.st_mode)) {
            Fd f(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            char buf[4096];
            ssize_t n = f.fd >= 0 ? read(f.fd, buf, sizeof buf) : -1;
            out += " \"" + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0) + "\"";
        }
        out += "\n";
        if (S_ISDIR(st.st_mode)) {
            Fd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.fd >= 0) Describe(sub.fd, prefix + name + "/", out);
        }
    }
}

std::string Describe(const std::string& dir) {
    std::string out;
    Fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (d.fd >= 0) Describe(d.fd, "", out);
    return out;
}


// The test's files: tree/ holds the object under test, outside/ what links
// lead to, ok/ the well-formed arguments, scratch/ where outputs go.
class World {
public:
    World() {
        for (const char* d : {"tree", "outside", "ok", "ok/dir", "ok/dir/sub", "scratch", "http"})
            EXPECT_EQ(mkdir(m_tmp.file(d).c_str(), 0755), 0) << d;
        orvextest::WriteFile(file(), kIniText);
        orvextest::WriteFile(m_tmp.file("ok/dir/a.txt"), "entry a");
        orvextest::WriteFile(m_tmp.file("ok/dir/sub/b.txt"), "entry b");
        EXPECT_EQ(orvextest::RunCommand("cd " + orvextest::ShellQuote(m_tmp.file("ok/dir")) +
                                        " && zip -qr ../a.zip a.txt sub"),
                  0);
        m_root = geteuid() == 0;
        Fd kmsg(open("/proc/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        m_kmsg = kmsg.fd >= 0;
        struct passwd* pw = getpwuid(geteuid());
        m_owner = pw ? pw->pw_name : std::to_string(geteuid());
    }
    ~World() {
        Close();
        Empty(m_tmp.path());  // TempDir cannot remove paths past PATH_MAX
    }

    std::string file() const { return m_tmp.file("ok/file"); }
    std::string dir() const { return m_tmp.file("ok/dir"); }
    std::string zip() const { return m_tmp.file("ok/a.zip"); }
    std::string scratch() const { return m_tmp.file("scratch/out"); }
    std::string httpRoot() const { return m_tmp.file("ok"); }
    std::string httpWork() const { return m_tmp.file("http"); }
    std::string log() const { return m_tmp.file("server.log"); }
    const std::string& owner() const { return m_owner; }

    // Why `kind` cannot be made here, or "".
    std::string Unavailable(Kind kind) const {
        if ((kind == kNull || kind == kZero) && !m_root) return "device nodes need root";
        if (kind == kKmsg && !m_kmsg) return "/proc/kmsg is not readable here";
        return "";
    }

    // Lays out a fresh tree holding `kind` and a fresh outside; gives the
    // path under test.
    std::string Make(Kind kind) {
        Close();
        Empty(m_tmp.file("tree"));
        Empty(m_tmp.file("outside"));
        orvextest::WriteFile(m_tmp.file("outside/secret"), kIniText);
        EXPECT_EQ(mkdir(m_tmp.file("outside/dir").c_str(), 0755), 0);
        orvextest::WriteFile(m_tmp.file("outside/dir/kept"), "kept");
        const std::string at = m_tmp.file("tree/x");
        switch (kind) {
        case kLinkToFile: EXPECT_EQ(symlink(m_tmp.file("outside/secret").c_str(), at.c_str()), 0); return at;
        case kLinkToDir: EXPECT_EQ(symlink(m_tmp.file("outside/dir").c_str(), at.c_str()), 0); return at;
        case kFifo:
        case kFifoReader:
        case kFifoWriter:
            EXPECT_EQ(mkfifo(at.c_str(), 0666), 0);
            if (kind != kFifo) m_reader.Reset(open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            if (kind == kFifoWriter) {
                m_writer.Reset(open(at.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
                EXPECT_EQ(write(m_writer.fd, "hello", 5), 5);
                m_reader.Reset();
            }
            return at;
        case kNull:
        case kZero:
            EXPECT_EQ(mknod(at.c_str(), S_IFCHR | 0666, makedev(1, kind == kNull ? 3 : 5)), 0);
            return at;
        case kSocket: {
            m_socket.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            at.copy(addr.sun_path, sizeof addr.sun_path - 1);
            EXPECT_EQ(bind(m_socket.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << at;
            EXPECT_EQ(listen(m_socket.fd, 4), 0);
            return at;
        }
        case kProcStatus: return "/proc/self/status";
        case kKmsg: return "/proc/kmsg";
        case kDir:
            EXPECT_EQ(mkdir(at.c_str(), 0755), 0);
            orvextest::WriteFile(at + "/inner", "inner");
            return at;
        case kLong: return Deep(4000);
        case kTooLong: return Deep(5000);
        case kLineBreak: orvextest::WriteFile(m_tmp.file("tree/line\nbreak"), kIniText); return m_tmp.file("tree/line\nbreak");
        case kKindCount: break;
        }
        return at;
    }

    void ClearScratch() { Empty(m_tmp.file("scratch")); }

    // What the tree (around the object of `kind`) and the outside hold now.
    std::string Tree(Kind) const { return Describe(m_tmp.file("tree")); }
    std::string Outside() const { return Describe(m_tmp.file("outside")); }

    // What reached the peers of all calls: here each call's is checked.
    std::string FinalTrouble() const { return ""; }

    // What the peers saw; "" when nothing reached them.
    std::string PeerTrouble(Kind kind) const {
        int n = 0;
        if (kind == kFifoReader && (ioctl(m_reader.fd, FIONREAD, &n) != 0 || n != 0))
            return "the pipe's reader got " + std::to_string(n) + " bytes";
        if (kind == kFifoWriter && (ioctl(m_writer.fd, FIONREAD, &n) != 0 || n != 5))
            return "the writer's 5 bytes became " + std::to_string(n);
        if (kind == kSocket) {
            int peer = accept4(m_socket.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer >= 0) {
                close(peer);
                return "the socket was connected to";
            }
        }
        return "";
    }

private:
    void Close() {
        m_reader.Reset();
        m_writer.Reset();
        m_socket.Reset();
    }

    // A regular file at a path of exactly `bytes` bytes below tree/, made of
    // nested directories of at most 200 bytes a name.
    std::string Deep(size_t bytes) {
        std::string path = m_tmp.file("tree");
        Fd dir(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        for (char c = 'a'; bytes - path.size() > 201; ++c) {
            std::string name(200, c);
            EXPECT_EQ(mkdirat(dir.fd, name.c_str(), 0755), 0);
            dir.Reset(openat(dir.fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            path += "/" + name;
        }
        std::string name(bytes - path.size() - 1, 'f');
        Fd f(openat(dir.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        EXPECT_EQ(write(f.fd, kIniText, sizeof kIniText - 1), static_cast<ssize_t>(sizeof kIniText - 1));
        return path + "/" + name;
    }

    TempDir m_tmp;
    bool m_root = false;
    bool m_kmsg = false;
    std::string m_owner;
    Fd m_reader, m_writer, m_socket;
};

// The call server: `orvex run hostile_paths.lua` with pipes on its standard
// input and output; a call that gets no answer within the bound kills it,
// and the next call starts a fresh one.
class CallServer {
public:
    CallServer(std::vector<std::string> args, std::string log) : m_args(std::move(args)), m_log(std::move(log)) {
        m_oldPipe = signal(SIGPIPE, SIG_IGN);
    }
    ~CallServer() {
        Stop();
        signal(SIGPIPE, m_oldPipe);
    }

    // Sends one call; false when no answer came (`reply` says why).
    bool Call(const std::string& path, const std::string& call, std::string& reply) {
        if (m_pid <= 0 && !Start()) {
            reply = "the call server did not start";
            return false;
        }
        const std::string line = Hex(path) + " " + Hex(call) + "\n";
        if (write(m_in.fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            reply = "the call server is gone: " + Stop();
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            size_t end = m_buffer.find('\n');
            if (end != std::string::npos) {
                reply = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{m_out.fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
                kill(m_pid, SIGKILL);
                reply = "no answer within 10 s (the call waits): " + Stop();
                return false;
            }
            char buf[65536];
            ssize_t n = read(m_out.fd, buf, sizeof buf);
            if (n <= 0 && errno != EINTR) {
                reply = "the call server died: " + Stop();
                return false;
            }
            if (n > 0) m_buffer.append(buf, static_cast<size_t>(n));
        }
    }

    // Ends the server by closing its input; its exit status as text ("exit
    // 0" when it ended well).
    std::string Stop() {
        if (m_pid <= 0) return "exit 0";
        m_in.Reset();
        int status = 0;
        for (int waited = 0; waited < 30000 && waitpid(m_pid, &status, WNOHANG) == 0; waited += 10) {
            if (waited == 20000) kill(m_pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
        m_out.Reset();
        m_buffer.clear();
        std::string text = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status));
        std::string log = orvextest::ReadFile(m_log);
        if (text != "exit 0" && !log.empty()) text += "; its standard error:\n" + log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
        return text;
    }

private:
    bool Start() {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return false;
        }
        Fd childIn(in[0]), childOut(out[1]);
        m_in.Reset(in[1]);
        m_out.Reset(out[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, childIn.fd, 0);
        posix_spawn_file_actions_adddup2(&actions, childOut.fd, 1);
        posix_spawn_file_actions_addopen(&actions, 2, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (std::string& a : m_args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) m_pid = -1;
        return m_pid > 0;
    }

    std::vector<std::string> m_args;
    std::string m_log;
    pid_t m_pid = -1;
    Fd m_in, m_out;
    std::string m_buffer;
    void (*m_oldPipe)(int) = SIG_DFL;
};

}  // namespace
#else  // _WIN32
namespace {

using orvextest::RunLinuxShell;
using orvextest::WineUnixPath;

std::string Backslashes(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::wstring Wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// One line per entry below `dir`, directories recursively, from the
// listings alone (opening a Linux pipe or device to read it could reach its
// peer): its name and attributes, and for a file its size and the time of
// its last write. (A directory link shows what it names; Wine shows a link
// to a file as that file.)
void Describe(const std::wstring& dir, const std::string& prefix, std::string& out) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    std::vector<std::string> lines;
    std::vector<std::wstring> subdirs;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const DWORD a = data.dwFileAttributes;
        char facts[96];
        if (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            snprintf(facts, sizeof facts, " %lx", static_cast<unsigned long>(a));
        else
            snprintf(facts, sizeof facts, " %lx %lu:%lu %lu:%lu", static_cast<unsigned long>(a),
                     static_cast<unsigned long>(data.nFileSizeHigh), static_cast<unsigned long>(data.nFileSizeLow),
                     static_cast<unsigned long>(data.ftLastWriteTime.dwHighDateTime),
                     static_cast<unsigned long>(data.ftLastWriteTime.dwLowDateTime));
        lines.push_back(prefix + Narrow(name) + facts);
        if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) subdirs.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) out += line + "\n";
    std::sort(subdirs.begin(), subdirs.end());
    for (const std::wstring& sub : subdirs) Describe(dir + L"\\" + sub, prefix + Narrow(sub) + "\\", out);
}

std::string Describe(const std::string& dir) {
    std::string out;
    Describe(Wide(dir), "", out);
    return out;
}

// The Linux side of the test's files is laid out by /bin/sh (Wine makes no
// pipes, devices or sockets, and no links of its own).
class World {
public:
    World() : m_base(Backslashes(m_tmp.path())), m_unixBase(WineUnixPath(m_tmp.path())) {
        for (const char* d : {"tree", "outside", "ok", "ok\\dir", "ok\\dir\\sub", "scratch", "http", "peers"})
            EXPECT_TRUE(CreateDirectoryW(Wide(at(d)).c_str(), nullptr)) << d;
        orvextest::WriteFile(file(), kIniText);
        orvextest::WriteFile(at("ok\\dir\\a.txt"), "entry a");
        orvextest::WriteFile(at("ok\\dir\\sub\\b.txt"), "entry b");
        EXPECT_TRUE(Sh("cd " + Q("ok\\dir") + " && zip -qr ../a.zip a.txt sub && id -u > " + Q("uid")));
        m_root = orvextest::ReadFile(at("uid")) == "0\n";
        // The peers: a reader waiting on a pipe, a writer that wrote 5 bytes,
        // a listening socket; they report what reached them when the owner
        // file goes.
        m_ownerFile = at("peers-owner");
        m_owner = CreateFileW(Wide(m_ownerFile).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        m_peers = m_owner != INVALID_HANDLE_VALUE &&
                  orvextest::StartLinuxProgram({"/usr/bin/python3",
                                                WineUnixPath(std::string(ORVEX_FIXTURE_DIR) + "/special_peers.py"),
                                                WineUnixPath(at("peers")), WineUnixPath(m_ownerFile)}) &&
                  orvextest::WaitForFileText(at("peers\\ready"), "ready", 20000);
        EXPECT_TRUE(m_peers) << "special_peers.py";
        wchar_t name[256];
        DWORD size = 256;
        m_user = GetUserNameW(name, &size) ? Narrow(name) : "";
    }
    ~World() {
        if (m_owner != INVALID_HANDLE_VALUE) CloseHandle(m_owner);
        // Windows' own calls would wait on the pipes while the directory goes.
        Sh("rm -rf " + Q("tree") + " " + Q("peers"));
    }

    std::string file() const { return at("ok\\file"); }
    std::string dir() const { return at("ok\\dir"); }
    std::string zip() const { return at("ok\\a.zip"); }
    std::string scratch() const { return at("scratch\\out"); }
    std::string httpRoot() const { return m_tmp.file("ok"); }
    std::string httpWork() const { return m_tmp.file("http"); }
    std::string log() const { return at("server.log"); }
    const std::string& owner() const { return m_user; }

    std::string Unavailable(Kind kind) const {
        if ((kind == kNull || kind == kZero) && !m_root) return "device nodes need root";
        if ((kind == kFifoReader || kind == kFifoWriter || kind == kSocket) && !m_peers) return "no peers";
        if (kind == kKmsg)
            return "Wine shows /proc/kmsg as a file on disk and reads it with calls that wait (Windows has no such "
                   "file)";
        return "";
    }

    std::string Make(Kind kind) {
        const std::string dir = "tree\\" + std::to_string(kind);
        const std::string x = dir + "\\x";
        std::string sh = "rm -rf " + Q(dir) + " " + Q("outside") + " && mkdir -p " + Q(dir) + " " +
                         Q("outside\\dir") + " && printf '[s]\\r\\nk = 1\\r\\n' > " + Q("outside\\secret") +
                         " && printf kept > " + Q("outside\\dir\\kept");
        std::string path = at(x);
        switch (kind) {
        case kLinkToFile: sh += " && ln -s " + Q("outside\\secret") + " " + Q(x); break;
        case kLinkToDir: sh += " && ln -s " + Q("outside\\dir") + " " + Q(x); break;
        case kFifo: sh += " && mkfifo " + Q(x); break;
        case kFifoReader: path = at("peers\\fifo-reader"); break;
        case kFifoWriter: path = at("peers\\fifo-writer"); break;
        case kSocket: path = at("peers\\sock"); break;
        case kNull: sh += " && mknod " + Q(x) + " c 1 3"; break;
        case kZero: sh += " && mknod " + Q(x) + " c 1 5"; break;
        case kProcStatus: path = "Z:\\proc\\self\\status"; break;
        case kKmsg: path = "Z:\\proc\\kmsg"; break;
        case kDir: sh += " && mkdir " + Q(x) + " && printf inner > " + Q(x + "\\inner"); break;
        case kLong:
        case kTooLong: {
            // Nested directories of 200 characters a name; the Windows path
            // is 4,000 (or 5,000) characters long.
            // (made one step at a time: the Linux path may pass PATH_MAX).
            const size_t bytes = kind == kLong ? 4000 : 5000;
            sh += " && python3 -c 'import os, sys; os.chdir(sys.argv[1]); [(os.mkdir(d), os.chdir(d)) for d in "
                  "sys.argv[2:-1]]; open(sys.argv[-1], \"w\").write(\"[s]\\r\\nk = 1\\r\\n\")' " +
                  Q(dir);
            path = at(dir);
            for (char c = 'a'; bytes - path.size() > 201; ++c) {
                const std::string name(200, c);
                sh += " " + name;
                path += "\\" + name;
            }
            const std::string name(bytes - path.size() - 1, 'f');
            sh += " " + name;
            path += "\\" + name;
            break;
        }
        case kLineBreak:
            path = at(dir + "\\line\nbreak");
            sh += " && printf '[s]\\r\\nk = 1\\r\\n' > " + Q(dir) + "/'line\nbreak'";
            break;
        case kKindCount: break;
        }
        EXPECT_TRUE(Sh(sh)) << sh;
        return path;
    }

    // (A copy of a read-only file is read-only here: that goes first.)
    void ClearScratch() {
        namespace fs = std::filesystem;
        const fs::path out = Wide(scratch());
        std::error_code ec;
        fs::permissions(out, fs::perms::owner_write, fs::perm_options::add, ec);
        for (auto it = fs::recursive_directory_iterator(out, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
        fs::remove_all(out, ec);
    }

    // Wine shows a link to a file as the file: the link is looked at from
    // Linux.
    std::string Tree(Kind kind) const {
        const std::string dir = "tree\\" + std::to_string(kind);
        if (kind != kLinkToFile) return Describe(at(dir));
        Sh("cd " + Q(dir) + " && (stat -c '%n %F' * && readlink x) > " + Q("link-facts"));
        return orvextest::ReadFile(at("link-facts"));
    }
    std::string Outside() const {
        return Describe(at("outside")) + orvextest::ReadFile(at("outside\\secret")) + "|" +
               orvextest::ReadFile(at("outside\\dir\\kept"));
    }
    // Each call's peers are not told apart here: FinalTrouble tells.
    std::string PeerTrouble(Kind) const { return ""; }

    // What reached the peers over all calls, and whether the pipes and the
    // socket are still what they were.
    std::string FinalTrouble() {
        if (!m_peers) return "";
        CloseHandle(m_owner);
        m_owner = INVALID_HANDLE_VALUE;
        if (!orvextest::WaitForFileText(at("peers\\report"), "\n", 20000)) return "the peers did not report";
        std::string report = orvextest::ReadFile(at("peers\\report"));
        std::string trouble = report == "read 0 written-left 5 accepted 0\n" ? "" : "the peers saw: " + report;
        if (!Sh("test -p " + Q("peers\\fifo-reader") + " && test -p " + Q("peers\\fifo-writer") + " && test -S " +
                Q("peers\\sock")))
            trouble += "; a pipe or the socket is gone";
        return trouble;
    }

private:
    std::string at(const std::string& name) const { return m_base + "\\" + name; }
    // The Linux path of a name below the test's directory, quoted for sh.
    std::string Q(const std::string& name) const {
        std::string path = m_unixBase + "/" + name;
        std::replace(path.begin(), path.end(), '\\', '/');
        return "'" + path + "'";
    }
    bool Sh(const std::string& script) const { return RunLinuxShell(script, m_tmp.path()); }

    orvextest::TempDir m_tmp;
    std::string m_base, m_unixBase;
    bool m_root = false;
    bool m_peers = false;
    std::string m_ownerFile;
    HANDLE m_owner = INVALID_HANDLE_VALUE;
    std::string m_user;
};

// The call server: orvex.exe over pipes on its standard input and output.
class CallServer {
public:
    CallServer(std::vector<std::string> args, std::string log) : m_args(std::move(args)), m_log(std::move(log)) {}
    ~CallServer() { Stop(); }

    bool Call(const std::string& path, const std::string& call, std::string& reply) {
        if (!m_process && !Start()) {
            reply = "the call server did not start";
            return false;
        }
        const std::string line = Hex(path) + " " + Hex(call) + "\n";
        DWORD wrote = 0;
        if (!WriteFile(m_in, line.data(), static_cast<DWORD>(line.size()), &wrote, nullptr) || wrote != line.size()) {
            reply = "the call server is gone: " + Stop();
            return false;
        }
        const ULONGLONG deadline = GetTickCount64() + 10000;
        for (;;) {
            size_t end = m_buffer.find('\n');
            if (end != std::string::npos) {
                reply = m_buffer.substr(0, end);
                if (!reply.empty() && reply.back() == '\r') reply.pop_back();
                m_buffer.erase(0, end + 1);
                return true;
            }
            DWORD ready = 0;
            if (!PeekNamedPipe(m_out, nullptr, 0, nullptr, &ready, nullptr)) {
                reply = "the call server died: " + Stop();
                return false;
            }
            if (ready == 0) {
                if (GetTickCount64() > deadline) {
                    TerminateProcess(m_process, 99);
                    reply = "no answer within 10 s (the call waits): " + Stop();
                    return false;
                }
                Sleep(1);
                continue;
            }
            char buf[65536];
            DWORD got = 0;
            if (ReadFile(m_out, buf, ready < sizeof buf ? ready : sizeof buf, &got, nullptr)) m_buffer.append(buf, got);
        }
    }

    std::string Stop() {
        if (!m_process) return "exit 0";
        CloseHandle(m_in);
        DWORD code = 1;
        if (WaitForSingleObject(m_process, 30000) != WAIT_OBJECT_0) TerminateProcess(m_process, 98);
        WaitForSingleObject(m_process, 5000);
        GetExitCodeProcess(m_process, &code);
        CloseHandle(m_process);
        CloseHandle(m_out);
        m_process = nullptr;
        m_buffer.clear();
        std::string text = "exit " + std::to_string(code);
        if (code != 0) text += "; its standard error:\n" + orvextest::ReadFile(m_log);
        return text;
    }

private:
    bool Start() {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE childIn, childOut;
        if (!CreatePipe(&childIn, &m_in, &inherit, 0)) return false;
        if (!CreatePipe(&m_out, &childOut, &inherit, 0)) {
            CloseHandle(childIn);
            CloseHandle(m_in);
            return false;
        }
        SetHandleInformation(m_in, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(m_out, HANDLE_FLAG_INHERIT, 0);
        HANDLE err = CreateFileW(Wide(m_log).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                                 nullptr);
        std::wstring commandLine;
        for (const std::string& a : m_args) commandLine += (commandLine.empty() ? L"\"" : L" \"") + Wide(a) + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = childIn;
        si.hStdOutput = childOut;
        si.hStdError = err;
        PROCESS_INFORMATION pi{};
        bool started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      nullptr, &si, &pi) != FALSE;
        CloseHandle(childIn);
        CloseHandle(childOut);
        if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
        if (!started) {
            CloseHandle(m_in);
            CloseHandle(m_out);
            return false;
        }
        CloseHandle(pi.hThread);
        m_process = pi.hProcess;
        return true;
    }

    std::vector<std::string> m_args;
    std::string m_log;
    HANDLE m_process = nullptr;
    HANDLE m_in = INVALID_HANDLE_VALUE, m_out = INVALID_HANDLE_VALUE;
    std::string m_buffer;
};

}  // namespace
#endif

TEST(HostilePaths, EveryPathArgumentMeetsEveryKind) {
#if defined(_WIN32)
    if (orvextest::WineUnixPath(orvextest::TempDir().path()).empty())
        GTEST_SKIP() << "the pipes, devices and links are made from Linux, under Wine";
    // The table's texts are UTF-8, as on Linux.
    orvextest::CodePageScope utf8("UTF-8");
#endif
    World world;
    orvextest::HttpTestServer http(world.httpRoot(), world.httpWork());
    ORVEX_REQUIRE_HTTP_SERVER(http);
    CallServer server({ORVEX_CLI_PATH, "--code-page", "UTF-8", "run",
                       std::string(ORVEX_TEST_LUA_DIR) + "/hostile_paths.lua", world.file(), world.dir(),
                       world.zip(), world.scratch(), http.url("")},
                      world.log());
    // No call may change a pipe, device, socket or /proc file.
    for (const Row& row : kRows)
        for (Kind kind : {kFifo, kFifoReader, kFifoWriter, kNull, kZero, kSocket, kProcStatus, kKmsg})
            EXPECT_EQ(ParseCell(row.cells[kind]).mark, 0) << row.call << " | " << kKindNames[kind];
    std::string failures;
    for (int k = 0; k < kKindCount; ++k) {
        const Kind kind = static_cast<Kind>(k);
        const std::string why = world.Unavailable(kind);
        if (!why.empty()) {
            // The other kinds still run: the kind is reported as the script
            // tests report a skipped case.
            std::cout << "[ SKIPPED  ] HostilePaths: " << kKindNames[k] << " (" << why << ")\n";
            continue;
        }
        // Laid out afresh whenever a call changed something.
        std::string path, tree, outside;
        for (const Row& row : kRows) {
            const Cell cell = ParseCell(row.cells[k]);
            if (cell.result == "n/a") continue;
            if (path.empty()) {
                path = world.Make(kind);
                tree = world.Tree(kind);
                outside = world.Outside();
            }
            world.ClearScratch();
            std::string reply, problem;
            if (!server.Call(path, row.call, reply))
                problem = reply;
            else if (!Matches(cell.result, reply, path, world.owner()))
                problem = "gave " + reply.substr(0, 300) + ", not " + cell.result;
            const std::string treeNow = world.Tree(kind), outsideNow = world.Outside();
            if (cell.mark != '*' && treeNow != tree) problem += "; the tree changed: " + FirstDifference(tree, treeNow);
            if (cell.mark != '^' && outsideNow != outside)
                problem += "; outside changed: " + FirstDifference(outside, outsideNow);
            const std::string peer = world.PeerTrouble(kind);
            if (!peer.empty()) problem += "; " + peer;
            if (!problem.empty()) failures += std::string(row.call) + " | " + kKindNames[k] + ": " + problem + "\n";
            if (treeNow != tree || outsideNow != outside || !peer.empty()) path.clear();
        }
    }
    EXPECT_EQ(server.Stop(), "exit 0");
    EXPECT_EQ(world.FinalTrouble(), "");
    EXPECT_TRUE(failures.empty()) << failures;
}

#if !defined(_WIN32)
// A journal beside a database that is a pipe (or a device): SQLite looks
// for a journal left by a crash before it reads and would wait on the pipe
// for good; the statements fail at once and the pipe stays.
TEST(HostilePaths, ASqliteJournalThatIsNoFileFailsAtOnce) {
    orvextest::TempDir tmp;
    const std::string db = tmp.file("db");
    CallServer server({ORVEX_CLI_PATH, "run", std::string(ORVEX_TEST_LUA_DIR) + "/hostile_paths.lua", "", "", "", "",
                       ""},
                      tmp.file("server.log"));
    std::string reply;
    ASSERT_TRUE(server.Call(db, "orvexSqlite.execDml(P, \"CREATE TABLE t(x)\")", reply)) << reply;
    ASSERT_EQ(reply, "true");
    std::vector<std::string> journals = {"fifo"};
    if (geteuid() == 0) journals.push_back("device");
    for (const std::string& kind : journals) {
        const std::string journal = db + "-journal";
        ASSERT_EQ(kind == "fifo" ? mkfifo(journal.c_str(), 0666) : mknod(journal.c_str(), S_IFCHR | 0666, makedev(1, 5)),
                  0);
        EXPECT_TRUE(server.Call(db, "orvexSqlite.execDml(P, \"INSERT INTO t VALUES (1)\")", reply) && reply == "false")
            << kind << ": " << reply;
        EXPECT_TRUE(server.Call(db, "orvexSqlite.execQuery(P, \"SELECT count(*) FROM t\")", reply) && reply == "nil")
            << kind << ": " << reply;
        struct stat st;
        EXPECT_TRUE(lstat(journal.c_str(), &st) == 0 && (kind == "fifo" ? S_ISFIFO(st.st_mode) : S_ISCHR(st.st_mode)))
            << kind;
        unlink(journal.c_str());
    }
    EXPECT_EQ(server.Stop(), "exit 0");
    if (geteuid() != 0) GTEST_SKIP() << "device nodes need root (the pipe was checked)";
}
#endif
