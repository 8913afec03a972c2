// The parts of CFileInfo and CEnumDirSimple that only build on CFileUtil and
// CDirUtil; absoluteFilePath and fileName know the platform's separators
// (platform/*/FileInfo.cpp).
#include "pyn/DirUtil.h"
#include "pyn/FileInfo.h"
#include "pyn/FileUtil.h"

namespace pyn {

CFileInfo::CFileInfo(const std::string& path) : m_path(path) {}

bool CFileInfo::isFile() const { return CFileUtil::IsFile(m_path); }

bool CFileInfo::isDir() const { return CDirUtil::IsDir(m_path); }

CEnumDirSimple::CEnumDirSimple(const std::string& path) : m_entries(CDirUtil::GetChildFilePath(path)) {}

std::string CEnumDirSimple::GetNext() {
    if (m_next >= m_entries.size()) return std::string();
    return m_entries[m_next++];
}

}  // namespace pyn
