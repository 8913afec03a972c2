// The in-memory compression of CZipUtil (zlib streams; no OS interface).
#include <zlib.h>

#include <algorithm>

#include "pyn/ZipUtil.h"

namespace pyn {
namespace {

const int kZlibWindow = 15;
const int kGzipWindow = 15 + 16;
const int kDetectWindow = 15 + 32;
// zlib counts in uInt: feed it at most this much at a time.
const size_t kStep = size_t(1) << 30;

// True when a gzip member starts at `at` (its two magic bytes).
bool IsGzipAt(const std::string& bytes, size_t at) {
    return at + 1 < bytes.size() && static_cast<unsigned char>(bytes[at]) == 0x1f &&
           static_cast<unsigned char>(bytes[at + 1]) == 0x8b;
}

// A zlib stream whose state is ended on every path (growing the output may
// throw): deflateEnd or inflateEnd once it was initialised.
struct Stream {
    enum Kind { kNone, kDeflate, kInflate };
    z_stream zs{};
    Kind kind = kNone;
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (kind == kDeflate) deflateEnd(&zs);
        if (kind == kInflate) inflateEnd(&zs);
    }
};

std::string Deflate(const std::string& in, int windowBits) {
    if (in.empty()) return std::string();
    Stream stream;
    z_stream& zs = stream.zs;
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::string();
    stream.kind = Stream::kDeflate;
    std::string out;
    out.resize(in.size() < kStep ? deflateBound(&zs, static_cast<uLong>(in.size())) : in.size() / 2 + 64);
    size_t used = 0, fed = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (zs.avail_in == 0 && fed < in.size()) {
            size_t n = std::min(kStep, in.size() - fed);
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + fed));
            zs.avail_in = static_cast<uInt>(n);
            fed += n;
        }
        if (used == out.size()) out.resize(out.size() * 2);
        size_t room = std::min(kStep, out.size() - used);
        zs.next_out = reinterpret_cast<Bytef*>(&out[used]);
        zs.avail_out = static_cast<uInt>(room);
        rc = deflate(&zs, fed == in.size() ? Z_FINISH : Z_NO_FLUSH);
        used += room - zs.avail_out;
        if (rc == Z_BUF_ERROR) rc = Z_OK;  // no progress possible: more room follows
    }
    if (rc != Z_STREAM_END) return std::string();
    out.resize(used);
    return out;
}

}  // namespace

std::string CZipUtil::Compress(const std::string& bytes) { return Deflate(bytes, kGzipWindow); }

std::string CZipUtil::zlibCompress(const std::string& bytes) { return Deflate(bytes, kZlibWindow); }

std::string CZipUtil::UnCompress(const std::string& bytes) {
    if (bytes.empty()) return std::string();
    Stream stream;
    z_stream& zs = stream.zs;
    if (inflateInit2(&zs, kDetectWindow) != Z_OK) return std::string();
    stream.kind = Stream::kInflate;
    std::string out;
    // The output only grows as far as the data really expands.
    out.resize(std::min(kMaxUnCompressSize, std::max<size_t>(bytes.size() * 4, 4096)));
    size_t used = 0, fed = 0;
    bool ok = false;
    for (;;) {
        if (zs.avail_in == 0 && fed < bytes.size()) {
            size_t n = std::min(kStep, bytes.size() - fed);
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + fed));
            zs.avail_in = static_cast<uInt>(n);
            fed += n;
        }
        if (used == out.size()) {
            // One byte of room past the limit tells a stream that ends exactly
            // at the limit from one that goes on.
            if (out.size() > kMaxUnCompressSize) break;
            out.resize(std::min(out.size() * 2, kMaxUnCompressSize + 1));
        }
        size_t room = out.size() - used;
        zs.next_out = reinterpret_cast<Bytef*>(&out[used]);
        zs.avail_out = static_cast<uInt>(room);
        int rc = inflate(&zs, Z_NO_FLUSH);
        used += room - zs.avail_out;
        if (used > kMaxUnCompressSize) break;
        if (rc == Z_STREAM_END) {
            if (zs.avail_in == 0 && fed == bytes.size()) {
                ok = true;
                break;
            }
            // Another gzip member may follow a gzip member; anything else
            // (a zlib stream after either, say) is an error.
            size_t next = fed - zs.avail_in;
            if (!IsGzipAt(bytes, 0) || !IsGzipAt(bytes, next) || inflateReset(&zs) != Z_OK) break;
            continue;
        }
        if (rc == Z_BUF_ERROR && zs.avail_in == 0 && fed == bytes.size()) break;  // truncated
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
    }
    if (!ok) return std::string();
    out.resize(used);
    return out;
}

}  // namespace pyn
