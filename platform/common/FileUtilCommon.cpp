// CFileUtil operations that build only on other CFileUtil operations.
#include "pyn/FileUtil.h"

namespace pyn {

bool CFileUtil::WriteNewFile(const std::string& path, const ByteVector& bytes) {
    return ReplaceFileAtomically(path, CStringUtil::vec2str(bytes));
}

}  // namespace pyn
