// Code-page conversions on POSIX, through iconv.
#include <errno.h>
#include <iconv.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <memory>

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
        static const std::string fromEnv = CodePageFromEnvironment();
        name = fromEnv;
    }
    return name;
}

// Per-thread conversion descriptors (iconv_t is not thread-safe), rebuilt
// when the host changes the code page.
struct Converters {
    unsigned generation = 0;
    std::string name;
    bool utf8 = true;
    iconv_t toLocal = reinterpret_cast<iconv_t>(-1);
    iconv_t toUtf8 = reinterpret_cast<iconv_t>(-1);

    ~Converters() { Close(); }
    void Close() {
        if (toLocal != reinterpret_cast<iconv_t>(-1)) iconv_close(toLocal);
        if (toUtf8 != reinterpret_cast<iconv_t>(-1)) iconv_close(toUtf8);
        toLocal = toUtf8 = reinterpret_cast<iconv_t>(-1);
    }
    void Refresh() {
        unsigned current = CHostSettings::CodePageGeneration();
        if (current == generation) return;
        Close();
        generation = current;
        name = ResolveCodePage();
        utf8 = IsUtf8Name(name);
        if (utf8) return;
        toLocal = iconv_open(name.c_str(), "UTF-8");
        toUtf8 = iconv_open("UTF-8", name.c_str());
        if (toLocal == reinterpret_cast<iconv_t>(-1) || toUtf8 == reinterpret_cast<iconv_t>(-1)) {
            // An unknown codeset: treat local text as UTF-8.
            Close();
            utf8 = true;
        }
    }
};

Converters& ThreadConverters() {
    thread_local Converters converters;
    converters.Refresh();
    return converters;
}

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
    Converters& c = ThreadConverters();
    if (c.utf8 || size == 0) return std::string(data, size);
    return Convert(c.toLocal, data, size, true);
}

std::string CStringUtil::s2s_utf8(const std::string& local) { return s2s_utf8(local.data(), local.size()); }

std::string CStringUtil::s2s_utf8(const char* data, size_t size) {
    Converters& c = ThreadConverters();
    if (c.utf8 || size == 0) return std::string(data, size);
    return Convert(c.toUtf8, data, size, false);
}

std::string CStringUtil::LocalCodePage() { return ThreadConverters().name; }

bool CStringUtil::LocalIsUtf8() { return ThreadConverters().utf8; }

}  // namespace pyn
