// orvexUtil: files and directories. Each function checks its arguments,
// calls the pyn file, directory or tool operation and pushes its result.
#include <cstdint>

#include "ScriptBinding.h"
#include "UtilWrapper.h"
#include "pyn/DirUtil.h"
#include "pyn/FileInfo.h"
#include "pyn/FileUtil.h"
#include "pyn/ToolUtil.h"

namespace orvex {
namespace util {
namespace {

// The one argument of a function that takes a non-empty path.
std::string OnlyPathArg(lua_State* L) {
    CheckArgCount(L, 1);
    std::string path = RequireStringArg(L, 1);
    return path;
}

// Two non-empty paths (source, target).
void TwoPathArgs(lua_State* L, std::string& source, std::string& target) {
    CheckArgCount(L, 2);
    source = GetStringArg(L, 1);
    target = GetStringArg(L, 2);
    RequireNonEmpty(source);
    RequireNonEmpty(target);
}

int PushTime(lua_State* L, const pyn::CTimeUtil& time) {
    if (time.IsNullTime()) return 0;
    std::string text = time.ToString("%Y-%m-%d %H:%M:%S");
    if (text.empty()) return 0;
    PushText(L, text);
    return 1;
}

}  // namespace

int IsFile(lua_State* L) {
    PushBool(L, pyn::CFileUtil::IsFile(OnlyPathArg(L)));
    return 1;
}

int IsDir(lua_State* L) {
    PushBool(L, pyn::CDirUtil::IsDir(OnlyPathArg(L)));
    return 1;
}

int mkdir(lua_State* L) {
    PushBool(L, pyn::CDirUtil::MakeDirPath(OnlyPathArg(L)));
    return 1;
}

int CopyDirectoryFile(lua_State* L) {
    std::string source, target;
    TwoPathArgs(L, source, target);
    PushBool(L, pyn::CDirUtil::CopyDirectoryFile(source, target, true));
    return 1;
}

int CopyFileUtil(lua_State* L) {
    std::string source, target;
    TwoPathArgs(L, source, target);
    PushBool(L, pyn::CFileUtil::CopyFileW(source, target, true));
    return 1;
}

// The removals report a path of the other kind, or none at all, as removed.
int RemoveFile(lua_State* L) {
    std::string path = OnlyPathArg(L);
    bool removed = true;
    if (pyn::CFileUtil::IsFile(path)) removed = pyn::CFileUtil::RemoveFile(path);
    PushBool(L, removed);
    return 1;
}

int RemoveDir(lua_State* L) {
    std::string path = OnlyPathArg(L);
    bool removed = true;
    if (pyn::CDirUtil::IsDir(path)) removed = pyn::CDirUtil::RemoveDir(path);
    PushBool(L, removed);
    return 1;
}

int RemoveFileInDir(lua_State* L) {
    std::string path = OnlyPathArg(L);
    bool removed = true;
    if (pyn::CDirUtil::IsDir(path)) removed = pyn::CDirUtil::RemoveAllDirFile(path);
    PushBool(L, removed);
    return 1;
}

int GetAllFileFromDir(lua_State* L) {
    std::string path = OnlyPathArg(L);
    if (!pyn::CDirUtil::IsDir(path)) return 0;
    std::vector<std::string> children = pyn::CDirUtil::GetChildFilePath(path);
    if (children.empty()) return 0;
    PushTextList(L, children);
    return 1;
}

int GetOneFileFromDir(lua_State* L) {
    std::string path = OnlyPathArg(L);
    if (!pyn::CDirUtil::IsDir(path)) return 0;
    pyn::CEnumDirSimple entries(path);
    for (std::string entry = entries.GetNext(); !entry.empty(); entry = entries.GetNext()) {
        pyn::CFileInfo info(entry);
        std::string name = info.fileName();
        if (name == "." || name == "..") continue;
        if (info.isFile()) {
            PushText(L, info.absoluteFilePath());
            return 1;
        }
    }
    return 0;
}

int GetFileOwner(lua_State* L) {
    std::string owner = pyn::CFileUtil::GetFileOwner(OnlyPathArg(L));
    if (owner.empty()) return 0;
    PushText(L, owner);
    return 1;
}

int GetFileCreateTime(lua_State* L) { return PushTime(L, pyn::CFileUtil::GetFileCreateTime(OnlyPathArg(L))); }

int GetFileLastModified(lua_State* L) {
    return PushTime(L, pyn::CFileUtil::GetFileLastModifiedTime(OnlyPathArg(L)));
}

int WriteNewFile(lua_State* L) {
    CheckArgCount(L, 2);
    std::string path = RequireStringArg(L, 1);
    pyn::ByteVector bytes = RequireBufferArg(L, 2);
    PushBool(L, pyn::CFileUtil::WriteNewFile(path, bytes));
    return 1;
}

int WriteAppenFile(lua_State* L) {
    CheckArgCount(L, 2);
    std::string path = RequireStringArg(L, 1);
    pyn::ByteVector bytes = RequireBufferArg(L, 2);
    PushBool(L, pyn::CFileUtil::WriteAppendFile(path, bytes));
    return 1;
}

int WriteOffsetFile(lua_State* L) {
    CheckArgCount(L, 3);
    std::string path = RequireStringArg(L, 1);
    int64_t offset = GetIntArg(L, 2);
    std::string bytes = RequireBytesArg(L, 3);
    PushBool(L, pyn::CFileUtil::WriteOffsetFile(path, offset, bytes));
    return 1;
}

int ReadFullFile(lua_State* L) {
    std::string contents;
    pyn::CFileUtil::ReadFullFile(OnlyPathArg(L), contents);
    if (contents.empty()) return 0;
    PushBytes(L, contents);
    return 1;
}

int ReadOffsetFile(lua_State* L) {
    CheckArgCount(L, 3);
    std::string path = RequireStringArg(L, 1);
    int64_t offset = GetIntArg(L, 2);
    int64_t length = GetIntArg(L, 3);
    if (length == 0) ThrowArgvError();
    std::string data;
    if (!pyn::CFileUtil::ReadOffsetFile(path, offset, length, data) || length <= 0) return 0;
    size_t size = static_cast<uint64_t>(length) < data.size() ? static_cast<size_t>(length) : data.size();
    lua_pushlstring(L, data.data(), size);
    return 1;
}

int GetBufferSize(lua_State* L) {
    CheckArgCount(L, 1);
    size_t size = 0;
    if (lua_isstring(L, 1)) lua_tolstring(L, 1, &size);
    if (size == 0) ThrowArgvError();
    lua_pushnumber(L, static_cast<lua_Number>(size));
    return 1;
}

int GetFileSize(lua_State* L) {
    lua_pushnumber(L, static_cast<lua_Number>(pyn::CFileUtil::GetFileSize(OnlyPathArg(L))));
    return 1;
}

int absoluteFilePath(lua_State* L) {
    PushText(L, pyn::CFileInfo(OnlyPathArg(L)).absoluteFilePath());
    return 1;
}

int GetFileNameFromPath(lua_State* L) {
    PushText(L, pyn::CFileInfo(OnlyPathArg(L)).fileName());
    return 1;
}

// Arguments are ignored.
int GetRootDiskFreeSpace(lua_State* L) {
    uint64_t freeBytes = 0;
    if (!pyn::CToolUtil::GetSelfDiskFreeSpace(freeBytes)) return 0;
    PushText(L, pyn::CStringUtil::IntToString(static_cast<int64_t>(freeBytes), nullptr, 10));
    return 1;
}

}  // namespace util
}  // namespace orvex
