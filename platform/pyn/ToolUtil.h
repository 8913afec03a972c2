// Process-level tools of the pyn utility layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pyn {

class CToolUtil {
public:
    // Directory of the running executable (or the directory the host set with
    // orvexSetApplicationDir), without a trailing separator.
    static std::string GetApplicationDirPath();
    // True when the operating system is 64-bit (whatever this build is).
    static bool IsX64System();
    // Sleeps `milliseconds`; a negative count sleeps 0 ms. Inside a script run
    // the sleep ends early at the run's deadline or on a stop (CRunBudget).
    static void msleep(int64_t milliseconds);

    // Starts `program` with `args` as its arguments, without a shell (the
    // texts reach the program exactly as given), detached: in a session of
    // its own, standard input, output and error on /dev/null, no descriptor
    // of this process inherited, and never left as a zombie of it. A
    // program without '/' is looked up in PATH; a relative one is taken
    // from the current directory. A non-empty `workDir` becomes its working
    // directory. True once the program runs; false when it cannot be
    // started (missing, not executable, bad working directory). When
    // `processId` is not null it receives the new process's id.
    // On Windows: without a console, in a process group of its own, out of
    // this process's job where the job allows it, standard handles on the
    // null device, only those inherited; a bare name is looked up in PATH
    // (".exe", then ".com", added when it has no extension); a batch file
    // is refused as by IProcessUtil::ExecCommandWithArgs.
    static bool StartProcess(const std::string& program, const std::string& workDir,
                             const std::vector<std::string>& args, uint64_t* processId);
    // Ends the current process at once with exit status 0: no destructors,
    // no exit handlers (other threads may still be using them); on Windows
    // through TerminateProcess, so no DLL detach notifications either.
    [[noreturn]] static void Terminate();
    // Bytes free for this process's user on the file system that holds the
    // application directory.
    static bool GetSelfDiskFreeSpace(uint64_t& freeBytes);
};

}  // namespace pyn
