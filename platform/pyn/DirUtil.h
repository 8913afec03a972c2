// Directory operations of the pyn utility layer. Paths are local-code-page
// texts. A link below the named path is never followed, in the source or
// the target of a copy, nor in a tree being removed: each entry is opened
// relative to its open parent directory without following a link, so one
// swapped in meanwhile is not followed either. A link inside a tree is
// removed or copied as a link. On Windows links and junctions are reparse
// points; a directory link inside a copied tree is not copied (the copy
// reports false), and listings join names with the separator the path
// already uses ("\" unless its last separator is "/").
#pragma once

#include <string>
#include <vector>

namespace pyn {

class CDirUtil {
public:
    // True when `path` names a directory (after following links).
    static bool IsDir(const std::string& path);
    // Creates the directory and any missing parents; true when it exists
    // as a directory afterwards.
    static bool MakeDirPath(const std::string& path);
    // Removes the directory with everything below it.
    static bool RemoveDir(const std::string& path);
    // Removes everything inside the directory (files and subdirectories
    // with their contents) and keeps the directory itself.
    static bool RemoveAllDirFile(const std::string& path);
    // Copies the tree `source` into `target` (created when missing); each
    // file as CFileUtil::CopyFileW copies it, with `overwrite`. A link, pipe
    // or other non-directory already in the target where a directory must
    // go, or a link or directory where a file must go, stays as it is and
    // that entry is not copied. Pipes, sockets and devices in the source are
    // not copied. False when something could not be copied (the rest is
    // still copied).
    static bool CopyDirectoryFile(const std::string& source, const std::string& target,
                                  bool overwrite);
    // The directory's own entries (files and subdirectories, not descending,
    // without "." and ".."), as `path` + "/" + name, sorted by name bytewise
    // so that listings are reproducible. Empty when `path` is no directory.
    static std::vector<std::string> GetChildFilePath(const std::string& path);
};

}  // namespace pyn
