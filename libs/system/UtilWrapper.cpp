// orvexUtil script library: the function table. The functions themselves
// live in the group files beside this one (UtilProcess.cpp: commands and
// processes; UtilFiles.cpp: files and directories; UtilMisc.cpp: HTTP,
// archives and small tools), declared in UtilWrapper.h.
#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "UtilWrapper.h"

namespace orvex {

// Table order is the library's published order.
const luaL_Reg kOrvexUtilLib[] = {
    ORVEX_SCRIPT_FN("Terminate", util::Terminate),
    ORVEX_SCRIPT_FN("StartProcess", util::StartProcess),
    ORVEX_SCRIPT_FN("ExecCommand", util::ExecCommand),
    ORVEX_SCRIPT_FN("ExecCommandReadAll", util::ExecCommandReadAll),
    ORVEX_SCRIPT_FN("Exec", util::Exec),
    ORVEX_SCRIPT_FN("HttpGetToFile", util::HttpGetToFile),
    ORVEX_SCRIPT_FN("HttpGetToBuffer", util::HttpGetToBuffer),
    ORVEX_SCRIPT_FN("HttpPostFromFile", util::HttpPostFromFile),
    ORVEX_SCRIPT_FN("HttpPostFromBuffer", util::HttpPostFromBuffer),
    ORVEX_SCRIPT_FN("miniUnzip", util::miniUnzip),
    ORVEX_SCRIPT_FN("DirzipFile", util::DirzipFile),
    ORVEX_SCRIPT_FN("Compress", util::Compress),
    ORVEX_SCRIPT_FN("UnCompress", util::UnCompress),
    ORVEX_SCRIPT_FN("zlibCompress", util::zlibCompress),
    ORVEX_SCRIPT_FN("GetSystemVersion", util::GetSystemVersion),
    ORVEX_SCRIPT_FN("IsX64System", util::IsX64System),
    ORVEX_SCRIPT_FN("GetAppPath", util::GetAppPath),
    ORVEX_SCRIPT_FN("IsFile", util::IsFile),
    ORVEX_SCRIPT_FN("IsDir", util::IsDir),
    ORVEX_SCRIPT_FN("mkdir", util::mkdir),
    ORVEX_SCRIPT_FN("CopyDirectoryFile", util::CopyDirectoryFile),
    ORVEX_SCRIPT_FN("CopyFileUtil", util::CopyFileUtil),
    ORVEX_SCRIPT_FN("RemoveFile", util::RemoveFile),
    ORVEX_SCRIPT_FN("RemoveDir", util::RemoveDir),
    ORVEX_SCRIPT_FN("RemoveFileInDir", util::RemoveFileInDir),
    ORVEX_SCRIPT_FN("GetAllFileFromDir", util::GetAllFileFromDir),
    ORVEX_SCRIPT_FN("GetOneFileFromDir", util::GetOneFileFromDir),
    ORVEX_SCRIPT_FN("GetFileOwner", util::GetFileOwner),
    ORVEX_SCRIPT_FN("GetFileCreateTime", util::GetFileCreateTime),
    ORVEX_SCRIPT_FN("GetFileLastModified", util::GetFileLastModified),
    ORVEX_SCRIPT_FN("WriteNewFile", util::WriteNewFile),
    ORVEX_SCRIPT_FN("WriteAppenFile", util::WriteAppenFile),
    ORVEX_SCRIPT_FN("WriteOffsetFile", util::WriteOffsetFile),
    ORVEX_SCRIPT_FN("ReadFullFile", util::ReadFullFile),
    ORVEX_SCRIPT_FN("ReadOffsetFile", util::ReadOffsetFile),
    ORVEX_SCRIPT_FN("GetBufferSize", util::GetBufferSize),
    ORVEX_SCRIPT_FN("GetFileSize", util::GetFileSize),
    ORVEX_SCRIPT_FN("msleep", util::msleep),
    ORVEX_SCRIPT_FN("trimmed", util::trimmed),
    ORVEX_SCRIPT_FN("absoluteFilePath", util::absoluteFilePath),
    ORVEX_SCRIPT_FN("GetFileNameFromPath", util::GetFileNameFromPath),
    ORVEX_SCRIPT_FN("DebugLog", util::DebugLog),
    ORVEX_SCRIPT_FN("contains", util::contains),
    ORVEX_SCRIPT_FN("ConverBufferToString", util::ConverBufferToString),
    ORVEX_SCRIPT_FN("ConverStringToBuffer", util::ConverStringToBuffer),
    ORVEX_SCRIPT_FN("currentMSecsSinceEpoch", util::currentMSecsSinceEpoch),
    ORVEX_SCRIPT_FN("toHex", util::toHex),
    ORVEX_SCRIPT_FN("fromHex", util::fromHex),
    ORVEX_SCRIPT_FN("GetRootDiskFreeSpace", util::GetRootDiskFreeSpace),
    {nullptr, nullptr},
};

}  // namespace orvex
