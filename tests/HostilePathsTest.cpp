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
// error.".
// Marks: none, nothing changes anywhere; * the object at P itself changes
// or goes (written, emptied, removed), nothing outside does; ^ what the
// link at P names changes (a link at the named path is followed, by the
// documented rule), and the link stays as it is.
struct Row {
    const char* call;
    const char* cells[kKindCount];
};

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

}  // namespace

#if !defined(_WIN32)
namespace {

const char kIniText[] = "[s]\r\nk = 1\r\n";

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
        {"name", Show(path.substr(path.rfind('/') + 1))},
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

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
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

    // What the tree and the outside hold now.
    std::string Tree() const { return Describe(m_tmp.file("tree")); }
    std::string Outside() const { return Describe(m_tmp.file("outside")); }

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
#endif

#if !defined(_WIN32)
TEST(HostilePaths, EveryPathArgumentMeetsEveryKind) {
    World world;
    orvextest::HttpTestServer http(world.httpRoot(), world.httpWork());
    ORVEX_REQUIRE_HTTP_SERVER(http);
    CallServer server({ORVEX_CLI_PATH, "--code-page", "UTF-8", "run", std::string(ORVEX_TEST_LUA_DIR) + "/hostile_paths.lua",
                       world.file(), world.dir(), world.zip(), world.scratch(), http.url("")},
                      world.log());
    // No call may change a pipe, device, socket or /proc file.
    for (const Row& row : kRows)
        for (Kind kind : {kFifo, kFifoReader, kFifoWriter, kNull, kZero, kSocket, kProcStatus, kKmsg})
            EXPECT_EQ(ParseCell(row.cells[kind]).mark, 0) << row.call << " | " << kKindNames[kind];
    std::string failures, skipped;
    for (int k = 0; k < kKindCount; ++k) {
        const Kind kind = static_cast<Kind>(k);
        const std::string why = world.Unavailable(kind);
        if (!why.empty()) {
            skipped += std::string(kKindNames[k]) + ": " + why + "; ";
            continue;
        }
        // Laid out afresh whenever a call changed something.
        std::string path, tree, outside;
        for (const Row& row : kRows) {
            const Cell cell = ParseCell(row.cells[k]);
            if (path.empty()) {
                path = world.Make(kind);
                tree = world.Tree();
                outside = world.Outside();
            }
            world.ClearScratch();
            std::string reply, problem;
            if (!server.Call(path, row.call, reply))
                problem = reply;
            else if (!Matches(cell.result, reply, path, world.owner()))
                problem = "gave " + reply.substr(0, 300) + ", not " + cell.result;
            const std::string treeNow = world.Tree(), outsideNow = world.Outside();
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
    EXPECT_TRUE(failures.empty()) << failures;
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}
#endif
