// File operations of the pyn utility layer. Paths are local-code-page texts.
// Only regular files are read and written: a pipe, socket or device is
// refused like a missing file, and no call waits for a peer (a read that
// would wait, as one of /proc/kmsg does, fails).
// On Windows there are no permission bits: replaced files keep their
// attributes and security descriptor instead, RemoveFile removes read-only
// files too,
// GetFileOwner names the owning account (its SID as text when the system
// cannot name it), and the creation time is the file system's own.
#pragma once

#include <cstdint>
#include <string>

#include "StringUtil.h"
#include "TimeUtil.h"

namespace pyn {

class CFileUtil {
public:
    // True when `path` names a regular file (after following links).
    static bool IsFile(const std::string& path);
    // Reads the whole file into `out`. With `maxBytes` set, reads at most that
    // many bytes (a longer file gives exactly `maxBytes` bytes). On failure
    // `out` is empty and the result false.
    static bool ReadFullFile(const std::string& path, std::string& out,
                             size_t maxBytes = static_cast<size_t>(-1));
    // Replaces the file's contents with `bytes` atomically: the bytes go to
    // a temporary file in the same directory, which is flushed to disk and
    // then renamed over `path`. Readers see the old or the new file, never a
    // part; on failure the old file is untouched and no temporary is left.
    // A link at `path` is followed: the file it names is replaced. A
    // replaced file keeps its owner, group and permission bits (on Windows
    // its owner, group and DACL); when they cannot be kept (the agent is
    // neither root nor the file's owner) the call fails and the file stays
    // as it was. A new file gets 0666 & ~umask. Anything but a regular file
    // at `path` (a directory, pipe, socket, device) is refused untouched.
    static bool ReplaceFileAtomically(const std::string& path, const std::string& bytes);

    // Reads up to `length` bytes from `offset` into `data` and sets `length`
    // to the number of bytes read (0 at or past the end of the file). The
    // buffer grows with what is read, never to a requested length the file
    // cannot fill. A negative offset or length, or a path that is not a
    // readable file, gives false with `length` 0 and `data` empty.
    static bool ReadOffsetFile(const std::string& path, int64_t offset, int64_t& length,
                               std::string& data);
    // Writes a new file or replaces an existing one, atomically and keeping
    // its owner (as ReplaceFileAtomically): a reader or a crash never sees
    // half a file.
    static bool WriteNewFile(const std::string& path, const ByteVector& bytes);
    // Appends `bytes` to the file in place, creating it when missing.
    static bool WriteAppendFile(const std::string& path, const ByteVector& bytes);
    // Writes `bytes` at `offset` in place, creating the file when missing
    // (a gap before the offset reads as zero bytes). A negative offset fails.
    static bool WriteOffsetFile(const std::string& path, int64_t offset, const std::string& bytes);
    // Removes the file (a link is removed, not its target).
    static bool RemoveFile(const std::string& path);
    // Copies the regular file `source` to `target` as ReplaceFileAtomically
    // writes it: the target is always whole, a replaced target keeps its
    // owner, group and permission bits, a new one gets the source's bits,
    // and anything but a regular file at `target` is refused. With
    // `overwrite` false an existing target is left alone and the result is
    // false.
    static bool CopyFileW(const std::string& source, const std::string& target, bool overwrite);
    // Size in bytes of the file (after following links); 0 when it is missing.
    static uint64_t GetFileSize(const std::string& path);
    // User name of the file's owner; the numeric user id as text when the
    // user database has no name for it; "" when the file is missing.
    static std::string GetFileOwner(const std::string& path);
    // Birth time of the file where the file system records one; a null time
    // where it does not (or reports the placeholder 0), or when the file is
    // missing.
    static CTimeUtil GetFileCreateTime(const std::string& path);
    // Time of the last change of the file's contents; null when missing.
    static CTimeUtil GetFileLastModifiedTime(const std::string& path);
};

}  // namespace pyn
