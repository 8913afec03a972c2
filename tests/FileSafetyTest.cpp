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

#endif
