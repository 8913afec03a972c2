// Path objects of the pyn utility layer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pyn {

// Facts about one path, worked out when asked.
class CFileInfo {
public:
    explicit CFileInfo(const std::string& path);

    // The path made absolute against the current directory, with "." and
    // ".." parts and repeated separators folded away lexically (links are
    // not resolved) and no trailing separator.
    std::string absoluteFilePath() const;
    // The last part of the path ("" when it ends with a separator).
    std::string fileName() const;
    bool isFile() const;
    bool isDir() const;

private:
    std::string m_path;
};

// Enumerates a directory's own entries (no descent, no "." or ".."), sorted
// by name bytewise, as `path` + "/" + name. The listing is read when the
// object is made.
class CEnumDirSimple {
public:
    explicit CEnumDirSimple(const std::string& path);
    // The next entry; "" when there are no more.
    std::string GetNext();

private:
    std::vector<std::string> m_entries;
    size_t m_next = 0;
};

}  // namespace pyn
