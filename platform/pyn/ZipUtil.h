// Archives and compression of the pyn utility layer.
#pragma once

#include <cstddef>
#include <string>

namespace pyn {

class CZipUtil {
public:
    // Largest output UnCompress produces; past it the result is empty.
    static constexpr size_t kMaxUnCompressSize = size_t(32) << 20;

    // Extracts the zip archive `zipFile` into the directory `destDir`
    // (created, with its parents, when missing). Entries are stored or
    // deflated; Unix permission bits recorded in the archive are applied
    // (without set-id bits). An archive with any entry whose name is absolute
    // (a leading slash or backslash, a drive letter) or climbs out of
    // `destDir` through ".." is refused as a whole before anything is written.
    // Entries are written only into regular files, opened without following
    // a link and without waiting: a pipe, device, socket, link or directory
    // already at an entry's name (or a link or non-directory where one of
    // its directories must go) makes the call false at once and stays as it
    // is. False when the archive cannot be read or an entry cannot be
    // written (entries written before the failure stay).
    // On Windows: no permission bits are applied; entry names are UTF-8 when
    // flagged so, else in the local code page; archives are also refused for
    // names Windows would read otherwise (a part ending in a dot or space, a
    // ':', a DOS device name such as NUL); no file is written through any
    // reparse point.
    static bool miniUnzip(const std::string& zipFile, const std::string& destDir);
    // Packs the directory `srcDir` into the zip archive `zipFile`: every
    // file and directory below it, by relative path, with modification times
    // and Unix permission bits; symbolic links to files are stored as the
    // files, links to directories are not followed. The archive is written
    // to a temporary file beside `zipFile` and renamed over it when complete;
    // an archive that lies inside `srcDir` is not packed into itself. Large
    // files use the Zip64 extension. The archive is written as
    // CFileUtil::ReplaceFileAtomically writes a file: through a link at
    // `zipFile` to the file it names, keeping the owner, group and mode of
    // the archive it replaces, and never over anything but a regular file.
    // On Windows the entries carry MS-DOS attributes instead of Unix bits
    // and UTF-8 names; junctions are treated as directory links.
    static bool DirzipFile(const std::string& srcDir, const std::string& zipFile);

    // gzip format (RFC 1952; what Python's gzip.decompress reads). Empty
    // input or a failure gives the empty string.
    static std::string Compress(const std::string& bytes);
    // Decompresses gzip (several members in a row included) or zlib data
    // (RFC 1950), told apart by their headers. Empty for anything else, for
    // truncated data or trailing garbage, and for output that would exceed
    // kMaxUnCompressSize.
    static std::string UnCompress(const std::string& bytes);
    // zlib format (RFC 1950; what Python's zlib.decompress reads).
    static std::string zlibCompress(const std::string& bytes);
};

}  // namespace pyn
