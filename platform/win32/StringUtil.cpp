// Code-page conversions on Windows: MultiByteToWideChar / WideCharToMultiByte
// through UTF-16, in the ANSI code page unless the host named another one.
#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "WinText.h"
#include "common/TextAndFileHelpers.h"
#include "pyn/HostSettings.h"
#include "pyn/StringUtil.h"

namespace pyn {
namespace win32 {
namespace {

const UINT kUtf8 = CP_UTF8;

bool EqualNoCase(const std::string& a, const char* b) { return _stricmp(a.c_str(), b) == 0; }

// Digits only: their value, else 0.
UINT ParseNumber(const std::string& s) {
    if (s.empty() || s.size() > 5) return 0;
    UINT n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<UINT>(c - '0');
    }
    return n;
}

// Windows code page of an iconv-style name ("GBK", "ISO-8859-1", "CP1252",
// "WINDOWS-1251", "936"); 0 when it names none this system knows.
UINT CodePageOfName(const std::string& name) {
    struct Alias {
        const char* name;
        UINT cp;
    };
    static const Alias kAliases[] = {
        {"UTF-8", 65001},     {"UTF8", 65001},        {"GBK", 936},        {"GB2312", 936},
        {"EUC-CN", 936},      {"GB18030", 54936},     {"BIG5", 950},       {"BIG-5", 950},
        {"SHIFT_JIS", 932},   {"SHIFT-JIS", 932},     {"SJIS", 932},       {"EUC-KR", 949},
        {"UHC", 949},         {"EUC-JP", 20932},      {"KOI8-R", 20866},   {"KOI8-U", 21866},
        {"LATIN1", 28591},    {"ASCII", 20127},       {"US-ASCII", 20127}, {"ANSI_X3.4-1968", 20127},
        {"ISO-8859-13", 28603}, {"ISO-8859-15", 28605}, {"LATIN-9", 28605},
    };
    UINT cp = 0;
    for (const Alias& a : kAliases)
        if (EqualNoCase(name, a.name)) cp = a.cp;
    auto suffix = [&](const char* prefix) -> std::string {
        size_t n = std::strlen(prefix);
        if (name.size() > n && _strnicmp(name.c_str(), prefix, n) == 0) return name.substr(n);
        return std::string();
    };
    if (!cp) cp = ParseNumber(name);
    if (!cp) cp = ParseNumber(suffix("CP"));
    if (!cp) cp = ParseNumber(suffix("WINDOWS-"));
    if (!cp) cp = ParseNumber(suffix("IBM"));
    if (!cp) {
        UINT part = ParseNumber(suffix("ISO-8859-"));
        if (part >= 1 && part <= 9) cp = 28590 + part;
    }
    return cp && (cp == kUtf8 || IsValidCodePage(cp)) ? cp : 0;
}

// Trivially destructible on purpose: with this toolchain, a thread-local
// object with a destructor can be destroyed after its thread's storage is
// gone, which crashes threads as they exit.
struct ThreadCodePage {
    unsigned generation = 0;
    UINT cp = CP_ACP;

    void Refresh() {
        unsigned current = CHostSettings::CodePageGeneration();
        if (current == generation) return;
        generation = current;
        std::string chosen = CHostSettings::LocalCodePageOverride();
        // No choice, or one this system does not know: the ANSI code page.
        cp = chosen.empty() ? 0 : CodePageOfName(chosen);
        if (!cp) cp = GetACP();
    }
};

ThreadCodePage& CurrentCodePage() {
    thread_local ThreadCodePage current;
    current.Refresh();
    return current;
}

int MultiByteToWide(UINT cp, DWORD flags, const char* data, int size, wchar_t* out, int outSize) {
    int n = MultiByteToWideChar(cp, flags, data, size, out, outSize);
    if (n == 0 && flags && GetLastError() == ERROR_INVALID_FLAGS)
        n = MultiByteToWideChar(cp, 0, data, size, out, outSize);
    return n;
}

int WideToMultiByte(UINT cp, const wchar_t* data, int size, char* out, int outSize, BOOL* usedDefault) {
    if (cp == kUtf8) return WideCharToMultiByte(cp, 0, data, size, out, outSize, nullptr, nullptr);
    // No best fit: a character the code page lacks becomes '?', never a look-alike.
    int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, data, size, out, outSize, "?", usedDefault);
    if (n == 0 && (GetLastError() == ERROR_INVALID_FLAGS || GetLastError() == ERROR_INVALID_PARAMETER)) {
        if (usedDefault) *usedDefault = TRUE;  // unknown: the caller takes the careful path
        n = WideCharToMultiByte(cp, 0, data, size, out, outSize, nullptr, nullptr);
    }
    return n;
}

// Slow path for input with invalid bytes: one character at a time. In UTF-8
// a malformed sequence becomes one '?'; in other code pages each byte that
// starts no valid character does.
std::wstring ToWideByCharacter(UINT cp, const char* data, size_t size) {
    std::wstring out;
    out.reserve(size);
    wchar_t buf[4];
    size_t i = 0;
    while (i < size) {
        size_t left = size - i;
        size_t used = 0;
        int n = 0;
        if (cp == kUtf8) {
            size_t len = detail::Utf8SequenceLength(reinterpret_cast<const unsigned char*>(data + i), left);
            if (len) {
                n = MultiByteToWide(cp, MB_ERR_INVALID_CHARS, data + i, static_cast<int>(len), buf, 4);
                used = len;  // a well-formed but invalid sequence (surrogate, overlong) is one '?'
            } else {
                used = 1;
            }
        } else {
            // The shortest prefix that is one valid character (DBCS and GB18030
            // characters are up to four bytes long).
            for (size_t len = 1; len <= 4 && len <= left && n <= 0; ++len) {
                n = MultiByteToWide(cp, MB_ERR_INVALID_CHARS, data + i, static_cast<int>(len), buf, 4);
                used = len;
            }
            if (n <= 0) used = 1;
        }
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else
            out.push_back(L'?');
        i += used;
    }
    return out;
}

// Slow path for output with characters the code page lacks: one code point
// at a time, so a character outside the BMP becomes one '?', not two.
std::string FromWideByCharacter(UINT cp, const wchar_t* data, size_t size) {
    std::string out;
    out.reserve(size);
    char buf[16];
    size_t i = 0;
    while (i < size) {
        size_t len = 1;
        if (data[i] >= 0xD800 && data[i] <= 0xDBFF && i + 1 < size && data[i + 1] >= 0xDC00 && data[i + 1] <= 0xDFFF)
            len = 2;
        BOOL usedDefault = FALSE;
        int n = WideToMultiByte(cp, data + i, static_cast<int>(len), buf, sizeof buf, &usedDefault);
        if (n <= 0 || usedDefault)
            out.push_back('?');
        else
            out.append(buf, static_cast<size_t>(n));
        i += len;
    }
    return out;
}

}  // namespace

UINT LocalCodePageId() { return CurrentCodePage().cp; }

std::wstring ToWide(UINT cp, const char* data, size_t size) {
    if (size == 0) return std::wstring();
    if (size > static_cast<size_t>(INT_MAX)) return ToWide(cp, data, INT_MAX) + ToWide(cp, data + INT_MAX, size - INT_MAX);
    int len = static_cast<int>(size);
    int n = MultiByteToWide(cp, MB_ERR_INVALID_CHARS, data, len, nullptr, 0);
    if (n <= 0) return ToWideByCharacter(cp, data, size);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWide(cp, MB_ERR_INVALID_CHARS, data, len, &out[0], n);
    return out;
}

std::string FromWide(UINT cp, const wchar_t* data, size_t size) {
    if (size == 0) return std::string();
    if (size > static_cast<size_t>(INT_MAX / 4)) {
        size_t half = size / 2;
        if (data[half - 1] >= 0xD800 && data[half - 1] <= 0xDBFF) ++half;  // keep a surrogate pair together
        return FromWide(cp, data, half) + FromWide(cp, data + half, size - half);
    }
    int len = static_cast<int>(size);
    BOOL usedDefault = FALSE;
    int n = WideToMultiByte(cp, data, len, nullptr, 0, &usedDefault);
    if (n <= 0 || usedDefault) return FromWideByCharacter(cp, data, size);
    std::string out(static_cast<size_t>(n), '\0');
    WideToMultiByte(cp, data, len, &out[0], n, nullptr);
    return out;
}

}  // namespace win32

std::string CStringUtil::utf8_s2s(const std::string& utf8) { return utf8_s2s(utf8.data(), utf8.size()); }

std::string CStringUtil::utf8_s2s(const char* data, size_t size) {
    UINT cp = win32::LocalCodePageId();
    if (cp == CP_UTF8 || size == 0) return std::string(data, size);
    std::wstring wide = win32::ToWide(CP_UTF8, data, size);
    return win32::FromWide(cp, wide.data(), wide.size());
}

std::string CStringUtil::s2s_utf8(const std::string& local) { return s2s_utf8(local.data(), local.size()); }

std::string CStringUtil::s2s_utf8(const char* data, size_t size) {
    UINT cp = win32::LocalCodePageId();
    if (cp == CP_UTF8 || size == 0) return std::string(data, size);
    std::wstring wide = win32::ToWide(cp, data, size);
    return win32::FromWide(CP_UTF8, wide.data(), wide.size());
}

std::string CStringUtil::LocalCodePage() {
    UINT cp = win32::CurrentCodePage().cp;
    return cp == win32::kUtf8 ? std::string("UTF-8") : "CP" + std::to_string(cp);
}

bool CStringUtil::LocalIsUtf8() { return win32::LocalCodePageId() == CP_UTF8; }

}  // namespace pyn
