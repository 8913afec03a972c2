// CFileInfo's path arithmetic on POSIX ("/" separators).
#include "pyn/FileInfo.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace pyn {

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

}  // namespace pyn
