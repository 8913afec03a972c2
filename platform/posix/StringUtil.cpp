// Code-page conversions on POSIX, through iconv.
#include <errno.h>
#include "pyn/NoDestructor.h"
#include <iconv.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "common/TextAndFileHelpers.h"
#include "pyn/HostSettings.h"
#include "pyn/StringUtil.h"

namespace pyn {
namespace {

bool IsUtf8Name(const std::string& name) {
    return strcasecmp(name.c_str(), "UTF-8") == 0 || strcasecmp(name.c_str(), "UTF8") == 0;
}

// Codeset of a locale name such as "zh_CN.GBK" or "de_DE.ISO-8859-1@euro";
// "C", "POSIX" and names without a codeset give UTF-8.
std::string CodesetOfLocale(const char* locale) {
    std::string name(locale);
    size_t dot = name.find('.');
    if (dot == std::string::npos) return "UTF-8";
    std::string codeset = name.substr(dot + 1);
    size_t at = codeset.find('@');
    if (at != std::string::npos) codeset.erase(at);
    return codeset.empty() ? "UTF-8" : codeset;
}

std::string CodePageFromEnvironment() {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = getenv(var);
        if (value && *value) return CodesetOfLocale(value);
    }
    return "UTF-8";
}

std::string ResolveCodePage() {
    std::string name = CHostSettings::LocalCodePageOverride();
    if (name.empty()) {
        static NoDestructor<std::string> fromEnv(CodePageFromEnvironment());
        name = *fromEnv;
    }
    return name;
}

// The local code page as last resolved, for every thread. Refreshed when the
// host changes the code page; the common case (UTF-8) needs no descriptor.
struct CodePage {
    std::atomic<unsigned> generation{0};
    std::atomic<bool> utf8{true};
    std::mutex mutex;  // guards name and the refresh
    std::string name = "UTF-8";
};

CodePage& TheCodePage() {
    static NoDestructor<CodePage> codePage;
    return *codePage;
}

// The state after any change of the setting has been taken in.
CodePage& CurrentCodePage() {
    CodePage& cp = TheCodePage();
    const unsigned current = CHostSettings::CodePageGeneration();
    if (cp.generation.load(std::memory_order_acquire) == current) return cp;
    std::lock_guard<std::mutex> hold(cp.mutex);
    if (cp.generation.load(std::memory_order_relaxed) == current) return cp;
    std::string name = ResolveCodePage();
    bool utf8 = IsUtf8Name(name);
    if (!utf8) {
        // An unknown codeset: treat local text as UTF-8.
        iconv_t probe = iconv_open(name.c_str(), "UTF-8");
        if (probe == reinterpret_cast<iconv_t>(-1)) utf8 = true;
        else iconv_close(probe);
    }
    cp.name = utf8 ? std::string("UTF-8") : name;
    cp.utf8.store(utf8, std::memory_order_relaxed);
    cp.generation.store(current, std::memory_order_release);
    return cp;
}

// Conversion descriptors (iconv_t is not thread-safe, so each is used by one
// thread at a time) kept in one pool for every thread rather than per
// thread: nothing here needs a thread's end to be cleaned up, so threads
// leave nothing behind and the library registers no per-thread clean-up
// (which, first registered during the library's own unload by a finalizer,
// would be called after the library is gone).
struct Descriptors {
    unsigned generation;
    iconv_t toLocal;
    iconv_t toUtf8;
};

struct DescriptorPool {
    std::mutex mutex;
    std::vector<Descriptors> idle;
};

DescriptorPool& ThePool() {
    static NoDestructor<DescriptorPool> pool;
    return *pool;
}

void CloseDescriptors(const Descriptors& d) {
    if (d.toLocal != reinterpret_cast<iconv_t>(-1)) iconv_close(d.toLocal);
    if (d.toUtf8 != reinterpret_cast<iconv_t>(-1)) iconv_close(d.toUtf8);
}

// Descriptors for the code page's current generation, taken from the pool
// for the length of one conversion.
class PooledDescriptors {
public:
    explicit PooledDescriptors(CodePage& cp) {
        const unsigned generation = cp.generation.load(std::memory_order_acquire);
        DescriptorPool& pool = ThePool();
        {
            std::lock_guard<std::mutex> hold(pool.mutex);
            while (!pool.idle.empty()) {
                Descriptors d = pool.idle.back();
                pool.idle.pop_back();
                if (d.generation == generation) {
                    m_d = d;
                    return;
                }
                CloseDescriptors(d);  // of an earlier setting
            }
        }
        std::string name;
        {
            std::lock_guard<std::mutex> hold(cp.mutex);
            name = cp.name;
        }
        m_d = Descriptors{generation, iconv_open(name.c_str(), "UTF-8"), iconv_open("UTF-8", name.c_str())};
    }
    ~PooledDescriptors() {
        DescriptorPool& pool = ThePool();
        std::lock_guard<std::mutex> hold(pool.mutex);
        try {
            pool.idle.push_back(m_d);
        } catch (...) {
            CloseDescriptors(m_d);
        }
    }
    PooledDescriptors(const PooledDescriptors&) = delete;
    PooledDescriptors& operator=(const PooledDescriptors&) = delete;
    iconv_t toLocal() const { return m_d.toLocal; }
    iconv_t toUtf8() const { return m_d.toUtf8; }

private:
    Descriptors m_d;
};

// Converts with `cd`; unconvertible input becomes '?'. With `fromUtf8`, a
// well-formed character the target cannot hold is replaced as a whole;
// otherwise a bad byte is skipped alone.
std::string Convert(iconv_t cd, const char* data, size_t size, bool fromUtf8) {
    std::string out;
    out.resize(size * 2 + 16);
    char* in = const_cast<char*>(data);
    size_t inLeft = size;
    size_t used = 0;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
        char* dst = &out[used];
        size_t dstLeft = out.size() - used;
        size_t rc = iconv(cd, &in, &inLeft, &dst, &dstLeft);
        used = out.size() - dstLeft;
        if (rc != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // EILSEQ (bad or unrepresentable input) or EINVAL (truncated input).
        size_t skip = 1;
        if (fromUtf8 && errno == EILSEQ) {
            size_t len = detail::Utf8SequenceLength(reinterpret_cast<const unsigned char*>(in), inLeft);
            if (len) skip = len;
        }
        if (used + 1 > out.size()) out.resize(out.size() * 2);
        out[used++] = '?';
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state.
    for (;;) {
        char* dst = &out[used];
        size_t dstLeft = out.size() - used;
        size_t rc = iconv(cd, nullptr, nullptr, &dst, &dstLeft);
        used = out.size() - dstLeft;
        if (rc == static_cast<size_t>(-1) && errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        break;
    }
    out.resize(used);
    return out;
}

}  // namespace

std::string CStringUtil::utf8_s2s(const std::string& utf8) { return utf8_s2s(utf8.data(), utf8.size()); }

std::string CStringUtil::utf8_s2s(const char* data, size_t size) {
    CodePage& cp = CurrentCodePage();
    if (cp.utf8.load(std::memory_order_relaxed) || size == 0) return std::string(data, size);
    PooledDescriptors d(cp);
    if (d.toLocal() == reinterpret_cast<iconv_t>(-1)) return std::string(data, size);
    return Convert(d.toLocal(), data, size, true);
}

std::string CStringUtil::s2s_utf8(const std::string& local) { return s2s_utf8(local.data(), local.size()); }

std::string CStringUtil::s2s_utf8(const char* data, size_t size) {
    CodePage& cp = CurrentCodePage();
    if (cp.utf8.load(std::memory_order_relaxed) || size == 0) return std::string(data, size);
    PooledDescriptors d(cp);
    if (d.toUtf8() == reinterpret_cast<iconv_t>(-1)) return std::string(data, size);
    return Convert(d.toUtf8(), data, size, false);
}

std::string CStringUtil::LocalCodePage() {
    CodePage& cp = CurrentCodePage();
    std::lock_guard<std::mutex> hold(cp.mutex);
    return cp.name;
}

bool CStringUtil::LocalIsUtf8() { return CurrentCodePage().utf8.load(std::memory_order_relaxed); }

}  // namespace pyn
