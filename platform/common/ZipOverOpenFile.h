// minizip's file layer over a file that the caller has open and keeps: both
// platforms write an archive into the temporary that their replace routine
// made, filled and then renames (internal).
//
// `Ops` gives the system's calls on its `Handle`:
//   static long long Read(Handle, void* buffer, unsigned long size);  // < 0: failure
//   static bool Write(Handle, const void* data, unsigned long size);  // all of it
//   static long long Seek(Handle, long long offset, int origin);      // the new position, < 0: failure
// with `origin` one of ZLIB_FILEFUNC_SEEK_SET, _CUR, _END.
#pragma once

#include <ioapi.h>

namespace pyn {
namespace detail {

template <class Ops>
struct ZipOverOpenFile {
    typename Ops::Handle handle;
    bool failed = false;

    // Give zipOpen2_64 the address of this object as its "path".
    static zlib_filefunc64_def Functions() {
        return zlib_filefunc64_def{&OpenFn, &ReadFn, &WriteFn, &TellFn, &SeekFn, &CloseFn, &ErrorFn, nullptr};
    }

private:
    static ZipOverOpenFile* Of(voidpf stream) { return static_cast<ZipOverOpenFile*>(stream); }
    static voidpf ZCALLBACK OpenFn(voidpf, const void* self, int) { return const_cast<void*>(self); }
    static uLong ZCALLBACK ReadFn(voidpf, voidpf stream, void* buf, uLong size) {
        long long n = Ops::Read(Of(stream)->handle, buf, size);
        if (n < 0) Of(stream)->failed = true;
        return n < 0 ? 0 : static_cast<uLong>(n);
    }
    static uLong ZCALLBACK WriteFn(voidpf, voidpf stream, const void* buf, uLong size) {
        if (Ops::Write(Of(stream)->handle, buf, size)) return size;
        Of(stream)->failed = true;
        return 0;
    }
    static ZPOS64_T ZCALLBACK TellFn(voidpf, voidpf stream) {
        long long at = Ops::Seek(Of(stream)->handle, 0, ZLIB_FILEFUNC_SEEK_CUR);
        return at < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(at);
    }
    static long ZCALLBACK SeekFn(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
        return Ops::Seek(Of(stream)->handle, static_cast<long long>(offset), origin) < 0 ? -1 : 0;
    }
    // The caller closes the file.
    static int ZCALLBACK CloseFn(voidpf, voidpf) { return 0; }
    static int ZCALLBACK ErrorFn(voidpf, voidpf stream) { return Of(stream)->failed ? 1 : 0; }
};

}  // namespace detail
}  // namespace pyn
