// What the file functions do with what is not a plain file: reads of pipes,
// sockets, devices and blocking /proc files end at once with a failure;
// archive entries are never written into them; a replaced file keeps its
// owner, or the replacement is refused; links planted in a tree are never
// followed. (files_test.lua checks the script functions over the same
// cases on Linux; this file also checks them under Wine.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "pyn/AlgorithmUtil.h"
#include "pyn/DirUtil.h"
#include "pyn/FileUtil.h"
#include "pyn/ZipUtil.h"

#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "WinePeers.h"
#else
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

using orvextest::ReadFile;
using orvextest::TempDir;
using orvextest::WriteFile;
using pyn::CAlgorithmUtil;
using pyn::CDirUtil;
using pyn::CFileUtil;
using pyn::CZipUtil;

namespace {

// Packs a tree holding the file "a.txt" and the directory "sub" with the
// file "sub/b.txt" into `zip`.
void MakeArchive(const TempDir& dir, const std::string& zip) {
    std::filesystem::create_directories(dir.file("packed/sub"));
    WriteFile(dir.file("packed/a.txt"), "entry a");
    WriteFile(dir.file("packed/sub/b.txt"), "entry b");
    ASSERT_TRUE(CZipUtil::DirzipFile(dir.file("packed"), zip));
}

}  // namespace

#if !defined(_WIN32)
namespace {

// Runs `fn` in a child process and waits up to a minute for it to end.
// Gives its exit status, or -1 when it had not ended by then (it is killed:
// the call it makes waits for good).
int InChild(const std::function<int()>& fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    if (pid < 0) return -2;
    int status = 0;
    for (int waited = 0; waited < 60000; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

bool IsRoot() { return geteuid() == 0; }

// A UNIX socket bound at `path`; the descriptor stays open while it lives.
struct BoundSocket {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    explicit BoundSocket(const std::string& path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ADD_FAILURE() << "bind " << path;
    }
    ~BoundSocket() { close(fd); }
};

mode_t KindOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

}  // namespace

// The reads open without waiting, stay non-blocking and take only regular
// files: a pipe without a writer, a socket, an endless device and
// /proc/kmsg (a "regular file" whose reads wait for the next kernel
// message) all give a failure at once.
TEST(FileSafety, ReadsOfWhatIsNoPlainFileEndAtOnce) {
    TempDir dir;
    std::vector<std::string> paths = {dir.file("fifo"), dir.file("sock")};
    ASSERT_EQ(mkfifo(paths[0].c_str(), 0600), 0);
    BoundSocket sock(paths[1]);
    if (IsRoot()) {
        // A copy of /dev/zero: never at its end.
        paths.push_back(dir.file("zero"));
        ASSERT_EQ(mknod(paths.back().c_str(), S_IFCHR | 0600, makedev(1, 5)), 0);
        int kmsg = open("/proc/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (kmsg >= 0) {
            close(kmsg);
            paths.push_back("/proc/kmsg");
        }
    }
    for (const std::string& path : paths) {
        int bad = InChild([&] {
            std::string out, data;
            int64_t length = 16;
            int failed = 0;
            if (CFileUtil::ReadFullFile(path, out) || !out.empty()) failed |= 1;
            if (CFileUtil::ReadOffsetFile(path, 0, length, data) || length != 0) failed |= 2;
            if (!CAlgorithmUtil::GetFileMD5(path).empty()) failed |= 4;
            return failed;
        });
        EXPECT_EQ(bad, 0) << path << " (-1: the call waited for good)";
    }
    EXPECT_EQ(KindOf(paths[0]), mode_t(S_IFIFO));
    if (paths.size() < 4) GTEST_SKIP() << "device nodes and /proc/kmsg need root (pipe and socket checked)";
}

// An entry is written only as a regular file: a pipe, device, socket, link
// or directory at its name fails the extraction at once and stays as it
// was; nothing reaches a reader of the pipe.
TEST(FileSafety, ArchiveEntriesGoIntoRegularFilesOnly) {
    TempDir dir;
    const std::string zip = dir.file("a.zip");
    MakeArchive(dir, zip);
    WriteFile(dir.file("outside"), "keep");
    struct Case {
        std::string name;
        std::function<void(const std::string&)> make;
        mode_t kind;
    };
    std::vector<Case> cases = {
        {"fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, S_IFIFO},
        {"link", [&](const std::string& p) { ASSERT_EQ(symlink(dir.file("outside").c_str(), p.c_str()), 0); },
         S_IFLNK},
        {"directory", [](const std::string& p) { ASSERT_TRUE(std::filesystem::create_directory(p)); }, S_IFDIR},
    };
    if (IsRoot())
        cases.push_back({"device", [](const std::string& p) {
                             ASSERT_EQ(mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
                         }, S_IFCHR});
    for (const Case& c : cases) {
        const std::string dest = dir.file("x-" + c.name);
        ASSERT_TRUE(std::filesystem::create_directory(dest));
        c.make(dest + "/a.txt");
        EXPECT_EQ(InChild([&] { return CZipUtil::miniUnzip(zip, dest) ? 1 : 0; }), 0)
            << c.name << " (-1: the extraction waited for good)";
        EXPECT_EQ(KindOf(dest + "/a.txt"), c.kind) << c.name;
    }
    // A socket, and a pipe with a reader waiting on it.
    const std::string dest = dir.file("x-peers");
    std::filesystem::create_directories(dest + "/sub");
    BoundSocket sock(dest + "/a.txt");
    ASSERT_EQ(mkfifo((dest + "/sub/b.txt").c_str(), 0600), 0);
    int reader = open((dest + "/sub/b.txt").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(InChild([&] { return CZipUtil::miniUnzip(zip, dest) ? 1 : 0; }), 0);
    std::filesystem::remove(dest + "/a.txt");
    EXPECT_EQ(InChild([&] { return CZipUtil::miniUnzip(zip, dest) ? 1 : 0; }), 0);
    char got[16];
    EXPECT_LE(read(reader, got, sizeof got), 0) << "the entry reached the pipe's reader";
    close(reader);
    EXPECT_EQ(KindOf(dest + "/sub/b.txt"), mode_t(S_IFIFO));
    EXPECT_EQ(ReadFile(dir.file("outside")), "keep");
    if (!IsRoot()) GTEST_SKIP() << "device nodes need root (the other kinds were checked)";
}

// An agent that cannot give the new file the old one's owner and group (not
// root, not the owner) leaves the file as it was and reports a failure: the
// file stays its owner's, readable by whom it was readable before.
TEST(FileSafety, AFileThatCannotKeepItsOwnerIsNotReplaced) {
    if (!IsRoot()) GTEST_SKIP() << "taking the rights of another user needs root";
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    TempDir dir;
    // A directory that anybody may write in, holding root's file.
    const std::string shared = dir.file("shared");
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(std::filesystem::create_directory(shared));
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    const std::string conf = shared + "/conf";
    WriteFile(conf, "root's");
    ASSERT_EQ(chmod(conf.c_str(), 0644), 0);
    WriteFile(dir.file("src"), "copied");
    uid_t uid = nobody->pw_uid;
    gid_t gid = nobody->pw_gid;
    int result = InChild([&] {
        if (setgid(gid) != 0 || setuid(uid) != 0) return 9;
        int failed = 0;
        if (CFileUtil::WriteNewFile(conf, pyn::CStringUtil::str2vec("nobody's"))) failed |= 1;
        if (CFileUtil::CopyFileW(dir.file("src"), conf, true)) failed |= 2;
        if (CFileUtil::ReplaceFileAtomically(conf, "nobody's")) failed |= 4;
        // A file of its own it may still write.
        if (!CFileUtil::WriteNewFile(shared + "/mine", pyn::CStringUtil::str2vec("x"))) failed |= 8;
        return failed;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(conf), "root's");
    struct stat st;
    ASSERT_EQ(stat(conf.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(shared)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"conf", "mine"})) << "no temporary left";
}

#else  // _WIN32

namespace {

using orvextest::RunLinuxShell;
using orvextest::WineUnixPath;

class FileSafetyWine : public ::testing::Test {
protected:
    void SetUp() override {
        if (WineUnixPath(m_tmp.path()).empty()) GTEST_SKIP() << "the Linux peers exist only under Wine";
    }
    // The Linux path of `name` in the test's directory, quoted for sh.
    std::string Q(const std::string& name) { return "'" + WineUnixPath(m_tmp.file(name)) + "'"; }
    bool Sh(const std::string& script) { return RunLinuxShell(script, m_tmp.path()); }
    TempDir m_tmp;
    orvextest::LinuxSpecialFilesCleanup m_cleanup{m_tmp.path()};
};

}  // namespace

// A named pipe with a server that never writes: the digest does not wait
// for it. Wine opens Linux pipes, sockets and devices as pipes and
// character devices; none of them is read, replaced or written into.
TEST_F(FileSafetyWine, PipesAndDevicesAreNeitherReadNorReplaced) {
    const std::wstring pipeName = L"\\\\.\\pipe\\orvex-file-safety-" + std::to_wstring(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::string pipe(pipeName.begin(), pipeName.end());
    std::atomic<bool> done{false};
    std::string digest = "unset";
    std::thread reader([&] {
        digest = CAlgorithmUtil::GetFileMD5(pipe);
        done = true;
    });
    for (int waited = 0; waited < 20000 && !done; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(done) << "GetFileMD5 waited on the pipe";
    CloseHandle(server);  // ends a read that waits
    reader.join();
    EXPECT_EQ(digest, "");

    WriteFile(m_tmp.file("src"), "data");
    std::filesystem::create_directory(m_tmp.file("tree"));
    WriteFile(m_tmp.file("tree/f"), "f");
    ASSERT_TRUE(Sh("mkfifo " + Q("fifo") + " && mknod " + Q("null") + " c 1 3"));
    for (const char* name : {"fifo", "null"}) {
        const std::string path = m_tmp.file(name);
        std::string out = "stale";
        EXPECT_FALSE(CFileUtil::ReadFullFile(path, out)) << name;
        EXPECT_EQ(CAlgorithmUtil::GetFileMD5(path), "") << name;
        EXPECT_FALSE(CFileUtil::WriteNewFile(path, pyn::CStringUtil::str2vec("x"))) << name;
        EXPECT_FALSE(CFileUtil::CopyFileW(m_tmp.file("src"), path, true)) << name;
        EXPECT_FALSE(CZipUtil::DirzipFile(m_tmp.file("tree"), path)) << name;
    }
    EXPECT_TRUE(Sh("test -p " + Q("fifo") + " && test -c " + Q("null")));
    // An archive entry whose name is a pipe.
    const std::string zip = m_tmp.file("a.zip");
    MakeArchive(m_tmp, zip);
    std::filesystem::create_directory(m_tmp.file("x"));
    ASSERT_TRUE(Sh("mkfifo " + Q("x/a.txt")));
    EXPECT_FALSE(CZipUtil::miniUnzip(zip, m_tmp.file("x")));
    EXPECT_TRUE(Sh("test -p " + Q("x/a.txt")));
}

// A replaced file keeps its owner, group and DACL. Wine shows a file's
// Linux mode as a DACL: a file only its owner may read stays so. A file of
// another owner, which Wine cannot give the new file, is left alone.
TEST_F(FileSafetyWine, AReplacedFileKeepsItsSecurityDescriptor) {
    WriteFile(m_tmp.file("src"), "copied");
    std::filesystem::create_directory(m_tmp.file("tree"));
    WriteFile(m_tmp.file("tree/f"), "f");
    for (const char* name : {"written", "copy", "replaced", "a.zip", "nobody"}) WriteFile(m_tmp.file(name), "old");
    ASSERT_TRUE(Sh("chmod 600 " + Q("written") + " " + Q("copy") + " " + Q("replaced") + " " + Q("a.zip") +
                   " && chown nobody " + Q("nobody")));
    const std::string before = orvextest::FileSecurityText(m_tmp.file("written"));
    ASSERT_NE(before, "");
    ASSERT_EQ(before.find(";;;WD)"), std::string::npos) << "not readable by everyone: " << before;
    EXPECT_TRUE(CFileUtil::WriteNewFile(m_tmp.file("written"), pyn::CStringUtil::str2vec("new")));
    EXPECT_TRUE(CFileUtil::CopyFileW(m_tmp.file("src"), m_tmp.file("copy"), true));
    EXPECT_TRUE(CFileUtil::ReplaceFileAtomically(m_tmp.file("replaced"), "new"));
    EXPECT_TRUE(CZipUtil::DirzipFile(m_tmp.file("tree"), m_tmp.file("a.zip")));
    EXPECT_EQ(ReadFile(m_tmp.file("written")), "new");
    EXPECT_EQ(ReadFile(m_tmp.file("copy")), "copied");
    for (const char* name : {"written", "copy", "replaced", "a.zip"})
        EXPECT_EQ(orvextest::FileSecurityText(m_tmp.file(name)), before) << name;

    const std::string other = orvextest::FileSecurityText(m_tmp.file("nobody"));
    bool replaced = CFileUtil::WriteNewFile(m_tmp.file("nobody"), pyn::CStringUtil::str2vec("new"));
    EXPECT_EQ(orvextest::FileSecurityText(m_tmp.file("nobody")), other);
    EXPECT_EQ(ReadFile(m_tmp.file("nobody")), replaced ? "new" : "old");
}

// Directory links planted in a tree (made from Linux: Wine shows them as
// reparse points) are neither copied through nor emptied. (Wine removes the
// directory a link names when asked to remove the link, where Windows
// removes the link: the directory outside holds a file, which no removal
// of a directory can pass.)
TEST_F(FileSafetyWine, LinksPlantedInATreeAreNeverFollowed) {
    std::filesystem::create_directories(m_tmp.file("outside/dir"));
    WriteFile(m_tmp.file("outside/victim"), "keep");
    WriteFile(m_tmp.file("outside/dir/kept"), "kept");
    std::filesystem::create_directories(m_tmp.file("src/sub"));
    WriteFile(m_tmp.file("src/sub/inner"), "in");
    WriteFile(m_tmp.file("src/file"), "new");
    std::filesystem::create_directories(m_tmp.file("dst"));
    std::filesystem::create_directories(m_tmp.file("doomed/deep"));
    ASSERT_TRUE(Sh("ln -s " + Q("outside/dir") + " " + Q("dst/sub") + " && ln -s " + Q("outside/victim") + " " +
                   Q("dst/file") + " && ln -s " + Q("outside/dir") + " " + Q("doomed/deep/link")));
    EXPECT_FALSE(CDirUtil::CopyDirectoryFile(m_tmp.file("src"), m_tmp.file("dst"), true));
    EXPECT_FALSE(std::filesystem::exists(m_tmp.file("outside/dir/inner")));
    EXPECT_EQ(ReadFile(m_tmp.file("outside/victim")), "keep");
    EXPECT_TRUE(Sh("test -L " + Q("dst/sub")));
    CDirUtil::RemoveAllDirFile(m_tmp.file("doomed"));
    CDirUtil::RemoveDir(m_tmp.file("doomed"));
    EXPECT_EQ(ReadFile(m_tmp.file("outside/dir/kept")), "kept");
    EXPECT_EQ(ReadFile(m_tmp.file("outside/victim")), "keep");
}

#endif
