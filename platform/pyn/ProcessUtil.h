// The process object of the pyn utility layer.
//
// Its virtual operations are declared in the order of the agent's object,
// unused slots included, so that the layout matches; there is no virtual
// destructor (the object is owned by the library and never deleted through
// this interface). Every operation may be called from several threads at
// once.
//
// Processes are named as the system names them: on Linux the kernel's name
// of the program file that was executed (the name of a link, when the
// program was started through one), which the kernel cuts to 15 bytes;
// a cut name is completed from the executable's or argv[0]'s file name
// when one of them begins with it. Names compare exactly (case matters).
// Processes that have ended but are not yet reaped count as gone.
//
// On Windows a name is the executable's file name as the system lists it,
// extension included ("notepad.exe"), compared without regard to case as
// Windows compares file names; processes end through TerminateProcess (exit
// code 1) where this text says SIGKILL; commands run without a shell through
// CreateProcess (a bare command is looked up in PATH with ".exe", then
// ".com"; a batch file is refused when an argument holds a character that
// cmd.exe would act on); the time-out (or output past the read limit) ends
// the command's job, which holds every process it started, none of which
// may leave it, and which ends with the agent while the command runs;
// KillProcById and KillProcByName wait on the process handles; standard
// input and error are the null device;
// ExecCommandLine runs "cmd.exe /d /s /c" from the system directory and
// returns cmd's exit code. platform/win32/ProcessUtil.cpp has the details.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pyn {

using ProcessList = std::map<int64_t, std::string>;
using ProcessIdList = std::vector<int64_t>;

class IProcessUtil {
public:
    // Slot 0: unused.
    virtual void UnusedSlot0() = 0;
    // Slot 1: every running process, id to name.
    virtual ProcessList GetAllProcessList() = 0;
    // Slots 2 and 3: unused.
    virtual void UnusedSlot2() = 0;
    virtual void UnusedSlot3() = 0;
    // Slot 4: true when a process of that name runs.
    virtual bool CheckProcessAlive(const std::string& name) = 0;
    // Slot 5: unused.
    virtual void UnusedSlot5() = 0;
    // Slot 6: ids of every process of that name, ascending; empty: none.
    virtual ProcessIdList GetProcessIdByName(const std::string& name) = 0;
    // Slot 7: ends every process of that name (SIGKILL). True when at least
    // one was found and all of them have gone (as KillProcById). The calling
    // process itself is never ended this way (CToolUtil::Terminate does that).
    virtual bool KillProcByName(const std::string& name) = 0;
    // Slot 8: ends the process (SIGKILL) and gives true once it has gone
    // (ended, a zombie counts), checked for a few seconds at most; a pid
    // that passes to a new process meanwhile is not taken for it. False for
    // ids that name no single process (0, negatives, beyond the pid range),
    // for the calling process itself, when the signal cannot be sent, and
    // when the process is still there after the wait.
    virtual bool KillProcById(int64_t id) = 0;
    // Slot 9: unused.
    virtual void UnusedSlot9() = 0;
    // Slot 10: the executable's path (`fullPath` not 0) or its file name
    // (0); "" when the process is gone or not ours to inspect.
    virtual std::string GetProcPath(int64_t id, int32_t fullPath) = 0;
    // Slot 11: unused.
    virtual void UnusedSlot11() = 0;
    // Slot 12: the command line: the arguments joined by blanks, where an
    // empty argument or one holding a blank, tab or double quote is put in
    // double quotes (with \" and \\ inside); "" when the process is gone.
    virtual std::string GetProcCommandLine(int64_t id) = 0;
    // Slot 13: runs `command` with `args` without a shell (the texts reach
    // the program exactly as given; a command without '/' is looked up in
    // PATH) and returns what it wrote to standard output. Standard input and
    // error are /dev/null; with kExecMergeStderr in `flags` standard error
    // goes to the output too.
    // `timeoutMs` > 0: when the command has not finished after that many
    // milliseconds, it and every process below it are killed (also those
    // that moved to a session or process group of their own; on Linux a
    // supervising child subreaper is handed every one whose parent ends) and
    // the output read so far is returned. `timeoutMs` <= 0: no time limit.
    // Output longer than CHostSettings::ReadLimit() bytes ends the command
    // and every process below it at once and gives "" (no output).
    // `reserved1` and `reserved2` are reserved; callers pass -1.
    // Output that processes left running write after the command itself
    // has exited is not waited for, and those processes go on. "" when the
    // command cannot be started.
    virtual std::string ExecCommandWithArgs(const std::string& command,
                                            const std::vector<std::string>& args,
                                            int32_t timeoutMs, int32_t reserved1,
                                            int32_t reserved2, int32_t flags) = 0;
    // Slot 14: the parent's id; -1 when the process is gone.
    virtual int32_t GetPPid(int64_t id) = 0;
    // Slot 15: runs `commandLine` through /bin/sh -c, sets `output` to what
    // it wrote to standard output (standard input and error are /dev/null;
    // redirect inside the command line to keep errors) and returns its exit
    // status (128 + signal number when a signal ended it; -1 when it could
    // not be started). No time limit. As for ExecCommandWithArgs, output of
    // processes left running after the shell exits is not waited for, and
    // output past the read limit ends the shell and every process below it:
    // `output` is then "" and the result -1.
    virtual int32_t ExecCommandLine(const std::string& commandLine, std::string& output) = 0;

    static const int32_t kExecMergeStderr = 1;

protected:
    ~IProcessUtil() = default;
};

// The library's process object; never null, never to be deleted.
IProcessUtil* GetProcessUtil();

}  // namespace pyn
