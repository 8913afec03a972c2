#include "pyn/FileInfo.h"

#include <filesystem>
#include <system_error>

#include "pyn/DirUtil.h"
#include "pyn/FileUtil.h"

namespace fs = std::filesystem;

namespace pyn {

CFileInfo::CFileInfo(const std::string& path) : m_path(path) {}

std::string CFileInfo::absoluteFilePath() const {
    if (m_path.empty()) return std::string();
    fs::path p(m_path);
    if (p.is_relative()) {
        std::error_code ec;
        fs::path cwd = fs::current_path(ec);
        if (ec) return std::string();
        p = cwd / p;
    }
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string CFileInfo::fileName() const {
    size_t slash = m_path.rfind('/');
    return slash == std::string::npos ? m_path : m_path.substr(slash + 1);
}

bool CFileInfo::isFile() const { return CFileUtil::IsFile(m_path); }

bool CFileInfo::isDir() const { return CDirUtil::IsDir(m_path); }

CEnumDirSimple::CEnumDirSimple(const std::string& path) : m_entries(CDirUtil::GetChildFilePath(path)) {}

std::string CEnumDirSimple::GetNext() {
    if (m_next >= m_entries.size()) return std::string();
    return m_entries[m_next++];
}

}  // namespace pyn
