// CToolUtil's process and disk operations on POSIX.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "SafeFs.h"
#include "Spawn.h"
#include "pyn/ToolUtil.h"

namespace pyn {

bool CToolUtil::StartProcess(const std::string& program, const std::string& workDir,
                             const std::vector<std::string>& args, uint64_t* processId) {
    posix::SpawnRequest request;
    request.path = posix::ResolveProgram(program, !workDir.empty());
    if (request.path.empty()) return false;
    request.argv.reserve(args.size() + 1);
    request.argv.push_back(program);
    request.argv.insert(request.argv.end(), args.begin(), args.end());
    request.workDir = workDir;
    request.detached = true;

    posix::Fd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));  // closed on every path
    if (!devNull.ok()) return false;
    request.stdinFd = request.stdoutFd = request.stderrFd = devNull.get();
    int error = 0;
    pid_t pid = posix::Spawn(request, &error);
    devNull.Close();
    if (pid <= 0) return false;
    if (processId) *processId = static_cast<uint64_t>(pid);
    return true;
}

void CToolUtil::Terminate() { _exit(0); }

bool CToolUtil::GetSelfDiskFreeSpace(uint64_t& freeBytes) {
    struct statvfs vfs;
    if (statvfs(GetApplicationDirPath().c_str(), &vfs) != 0) return false;
    freeBytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
    return true;
}

}  // namespace pyn
