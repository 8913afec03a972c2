// orvexIni script library: single values of INI files, on SimpleIni. Every
// call loads the whole file into a fresh store and, when it changes
// something, saves the whole store back.
#ifdef _WIN32
// Windows builds keep SimpleIni's Win32 converter, whose names compare with
// _mbsicmp in the ANSI code page. Debian's SimpleIni.h holds the template's
// member definitions back unless SI_IMPLEMENTATION is set and ships them
// compiled in libsimpleini, which exists only for the build machine: here
// this file instantiates them itself.
#define SI_IMPLEMENTATION
#else
// The narrow store only (names compare ASCII case-insensitively).
#define SI_NO_CONVERSION
#endif
#include <SimpleIni.h>

#include <mutex>
#include <string>

#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "pyn/FileUtil.h"

namespace orvex {
namespace {

// Names compare case-insensitively; text is stored as the bytes read; one
// value per key; a value is what stands on its line.
using IniStore = CSimpleIniTempl<char, SI_NoCase<char>, SI_ConvertA<char>>;

const char kLoadIniFileError[] = "load ini file error.";

struct IniKeyPath {
    std::string section;  // "" holds the entries before the first header
    std::string key;
};

// "Section/Key": cut at the first slash; without a slash the whole path is
// a key of the section with the empty name.
IniKeyPath SplitIniKeyPath(const std::string& path) {
    size_t slash = path.find('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// True when a section and key written as they stand would read back as
// another entry, or add lines to the file: a line break or zero byte
// anywhere, a "]" in the section (it would end the header early), a "=" in
// the key (the value would start there), a key that starts a header or a
// comment.
bool IsUnwritableName(const IniKeyPath& name) {
    for (const std::string* text : {&name.section, &name.key})
        if (HasLineBreak(*text) || HasZeroByte(*text)) return true;
    if (name.section.find(']') != std::string::npos || name.key.find('=') != std::string::npos) return true;
    return !name.key.empty() && (name.key[0] == '[' || name.key[0] == ';' || name.key[0] == '#');
}

// Loads the file into the store. The store reads text only up to a zero
// byte; a file that holds one (a UTF-16 file, say) loads for reading, but
// `forWriting` refuses it, as saving the store would drop the rest.
bool LoadIni(const std::string& path, IniStore& ini, bool forWriting) {
    std::string data;
    if (!pyn::CFileUtil::ReadFullFile(path, data)) return false;
    if (forWriting && HasZeroByte(data)) return false;
    return ini.LoadData(data.data(), data.size()) >= 0;
}

// Collects the store's text with CR LF line ends, whatever the platform's
// own line end is, so a file looks the same whichever agent wrote it.
class CrLfWriter : public IniStore::OutputWriter {
public:
    void Write(const char* text) override {
        for (; *text; ++text) {
            if (*text == '\n' && (m_text.empty() || m_text.back() != '\r')) m_text.push_back('\r');
            m_text.push_back(*text);
        }
    }
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

// Writes the whole store over the file through a temporary beside it, so
// a failed save leaves the old file as it was.
bool SaveIni(const IniStore& ini, const std::string& path) {
    CrLfWriter out;
    return ini.Save(out, false) >= 0 && pyn::CFileUtil::ReplaceFileAtomically(path, out.text());
}

enum class IniChange { kSaved, kNotSaved, kNotLoaded };

std::mutex& IniChangeMutex() {
    static std::mutex mutex;
    return mutex;
}

// Loads the file, applies `change` to the store and saves it, under one lock
// for every change: two scripts changing the same file at once never lose
// each other's change.
template <typename Change>
IniChange ChangeIni(const std::string& path, Change change) {
    std::lock_guard<std::mutex> hold(IniChangeMutex());
    IniStore ini;
    if (!LoadIni(path, ini, true)) return IniChange::kNotLoaded;
    return change(ini) && SaveIni(ini, path) ? IniChange::kSaved : IniChange::kNotSaved;
}

// Pushes a change's result: true, false, or "load ini file error.".
void PushIniChange(lua_State* L, IniChange result) {
    if (result == IniChange::kNotLoaded) PushBytes(L, std::string(kLoadIniFileError));
    else PushBool(L, result == IniChange::kSaved);
}

// GetIniValue(file, "Section/Key"): the value, or "" when the file, the
// section or the key is missing.
int GetIniValue(lua_State* L) {
    CheckArgCount(L, 2);
    std::string path = GetStringArg(L, 1);
    std::string keyPath = GetStringArg(L, 2);
    RequireNonEmpty(path);
    RequireNonEmpty(keyPath);

    IniStore ini;
    if (!pyn::CFileUtil::IsFile(path) || !LoadIni(path, ini, false)) {
        PushText(L, std::string());
        return 1;
    }
    IniKeyPath name = SplitIniKeyPath(keyPath);
    PushText(L, ini.GetValue(name.section.c_str(), name.key.c_str(), ""));
    return 1;
}

// SetIniValue(file, "Section/Key", value): true when saved; false when the
// value holds a line break, a name could not be read back as written
// (IsUnwritableName), or the save failed;
// "load ini file error." when the file does not load.
int SetIniValue(lua_State* L) {
    CheckArgCount(L, 3);
    std::string path = GetStringArg(L, 1);
    std::string keyPath = GetStringArg(L, 2);
    std::string value = GetBytesArg(L, 3);
    RequireNonEmpty(path);
    RequireNonEmpty(keyPath);
    RequireNonEmpty(value);

    IniKeyPath name = SplitIniKeyPath(keyPath);
    std::string text(value.c_str());  // the value ends at its first NUL byte
    // Written as they stand, line breaks would add lines (even sections) to
    // the file.
    if (HasLineBreak(text) || IsUnwritableName(name)) {
        PushBool(L, false);
        return 1;
    }
    IniChange result = ChangeIni(path, [&](IniStore& ini) {
        return ini.SetValue(name.section.c_str(), name.key.c_str(), text.c_str()) >= 0;
    });
    PushIniChange(L, result);
    return 1;
}

// RemoveKeyValue(file, "Section/Key"): deletes the key (and its section
// when that empties it) and rewrites the file; true when saved, false when
// the file is missing or the save failed, "load ini file error." when the
// file does not load.
int RemoveKeyValue(lua_State* L) {
    CheckArgCount(L, 2);
    std::string path = GetStringArg(L, 1);
    std::string keyPath = GetStringArg(L, 2);
    RequireNonEmpty(path);
    RequireNonEmpty(keyPath);

    if (!pyn::CFileUtil::IsFile(path)) {
        PushBool(L, false);
        return 1;
    }
    IniKeyPath name = SplitIniKeyPath(keyPath);
    IniChange result = ChangeIni(path, [&](IniStore& ini) {
        ini.Delete(name.section.c_str(), name.key.c_str(), true);
        return true;
    });
    PushIniChange(L, result);
    return 1;
}

}  // namespace

const luaL_Reg kOrvexIniLib[] = {
    ORVEX_SCRIPT_FN("GetIniValue", GetIniValue),
    ORVEX_SCRIPT_FN("SetIniValue", SetIniValue),
    ORVEX_SCRIPT_FN("RemoveKeyValue", RemoveKeyValue),
    {nullptr, nullptr},
};

}  // namespace orvex
