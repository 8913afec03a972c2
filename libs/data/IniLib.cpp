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

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

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
// a key of the section with the empty name. False for a path holding a zero
// byte: the store takes names as C strings, so such a path would stand for
// another, shorter one.
bool SplitIniKeyPath(const std::string& path, IniKeyPath& name) {
    if (HasZeroByte(path)) return false;
    size_t slash = path.find('/');
    if (slash == std::string::npos) name = {std::string(), path};
    else name = {path.substr(0, slash), path.substr(slash + 1)};
    return true;
}

// Loads the file into the store (`text` receives its bytes). The store reads
// text only up to a zero byte; a file that holds one (a UTF-16 file, say)
// loads for reading, but `forWriting` refuses it, as saving the store would
// drop the rest.
bool LoadIni(const std::string& path, std::string& text, IniStore& ini, bool forWriting) {
    if (!pyn::CFileUtil::ReadFullFile(path, text)) return false;
    if (forWriting && HasZeroByte(text)) return false;
    return ini.LoadData(text.data(), text.size()) >= 0;
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

bool SaveToText(const IniStore& ini, std::string& text) {
    CrLfWriter out;
    if (ini.Save(out, false) < 0) return false;
    text = out.text();
    return true;
}

std::string Trimmed(const std::string& text, size_t from, size_t to) {
    const char* blank = " \t\r\n";
    size_t first = text.find_first_not_of(blank, from);
    if (first == std::string::npos || first >= to) return std::string();
    size_t last = text.find_last_not_of(blank, to - 1);
    return text.substr(first, last - first + 1);
}

// The lines of an INI text that carry something, each in one form whatever
// its spacing: a comment as it stands, a header as "[name]" and what
// follows it, an entry as "key=value"; anything else as it stands. Blank
// lines and a leading byte-order mark (which the store skips) carry nothing.
std::vector<std::string> MeaningfulLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string line = Trimmed(text, pos, end);
        pos = end + 1;
        if (line.empty()) continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close != std::string::npos) line = "[" + Trimmed(line, 1, close) + "]" + line.substr(close + 1);
        } else if (line[0] != ';' && line[0] != '#') {
            size_t equals = line.find('=');
            if (equals != std::string::npos)
                line = Trimmed(line, 0, equals) + "=" + Trimmed(line, equals + 1, line.size());
        }
        lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Every (section, key, value) the store holds, names as stored.
std::vector<std::string> Entries(const IniStore& ini) {
    std::vector<std::string> entries;
    IniStore::TNamesDepend sections;
    ini.GetAllSections(sections);
    for (const auto& section : sections) {
        IniStore::TNamesDepend keys;
        ini.GetAllKeys(section.pItem, keys);
        for (const auto& key : keys) {
            const char* value = ini.GetValue(section.pItem, key.pItem, "");
            entries.push_back(std::string(section.pItem) + '\0' + key.pItem + '\0' + value);
        }
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

enum class IniChange { kSaved, kNotSaved, kNotLoaded };

std::mutex& IniChangeMutex() {
    static std::mutex mutex;
    return mutex;
}

// Loads the file, applies `change` to the store and saves it, under one lock
// for every change: two scripts changing the same file at once never lose
// each other's change.
//
// The store rewrites the whole file, so a change is made only when nothing
// is lost by it: the store must hold every line of the file as it stands
// (a line that is no header, entry or comment, a key or section given
// twice, also in other letter case, or a comment after the last entry
// would be dropped), and the text written must read back as exactly the
// changed store (a name or value with surrounding blanks, an empty key, a
// name or value that would read as other lines). Otherwise the file is not
// touched.
template <typename Change>
IniChange ChangeIni(const std::string& path, Change change) {
    std::lock_guard<std::mutex> hold(IniChangeMutex());
    std::string original;
    IniStore ini;
    if (!LoadIni(path, original, ini, true)) return IniChange::kNotLoaded;
    std::string text;
    if (!SaveToText(ini, text) || MeaningfulLines(text) != MeaningfulLines(original)) return IniChange::kNotSaved;
    if (!change(ini) || !SaveToText(ini, text)) return IniChange::kNotSaved;
    IniStore reread;
    if (reread.LoadData(text.data(), text.size()) < 0 || Entries(reread) != Entries(ini)) return IniChange::kNotSaved;
    // Through a temporary beside the file: a failed save leaves it as it was.
    return pyn::CFileUtil::ReplaceFileAtomically(path, text) ? IniChange::kSaved : IniChange::kNotSaved;
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
    std::string text;
    IniKeyPath name;
    if (!SplitIniKeyPath(keyPath, name) || !pyn::CFileUtil::IsFile(path) || !LoadIni(path, text, ini, false)) {
        PushText(L, std::string());
        return 1;
    }
    PushText(L, ini.GetValue(name.section.c_str(), name.key.c_str(), ""));
    return 1;
}

// SetIniValue(file, "Section/Key", value): true when saved and the file
// reads back with the value; false when that could not be done without
// losing or changing other lines (see ChangeIni), when a name holds a zero
// byte, or when the save failed; "load ini file error." when the file does
// not load.
int SetIniValue(lua_State* L) {
    CheckArgCount(L, 3);
    std::string path = GetStringArg(L, 1);
    std::string keyPath = GetStringArg(L, 2);
    std::string value = GetBytesArg(L, 3);
    RequireNonEmpty(path);
    RequireNonEmpty(keyPath);
    RequireNonEmpty(value);

    IniKeyPath name;
    if (!SplitIniKeyPath(keyPath, name)) {
        PushBool(L, false);
        return 1;
    }
    std::string text(value.c_str());  // the value ends at its first NUL byte
    IniChange result = ChangeIni(path, [&](IniStore& ini) {
        return ini.SetValue(name.section.c_str(), name.key.c_str(), text.c_str()) >= 0;
    });
    PushIniChange(L, result);
    return 1;
}

// RemoveKeyValue(file, "Section/Key"): deletes the key (and its section
// when that empties it) and rewrites the file; true when saved, false when
// the file is missing, could not be rewritten without losing other lines
// (see ChangeIni), the key path holds a zero byte or the save failed, "load ini file error." when the file
// does not load.
int RemoveKeyValue(lua_State* L) {
    CheckArgCount(L, 2);
    std::string path = GetStringArg(L, 1);
    std::string keyPath = GetStringArg(L, 2);
    RequireNonEmpty(path);
    RequireNonEmpty(keyPath);

    IniKeyPath name;
    if (!SplitIniKeyPath(keyPath, name) || !pyn::CFileUtil::IsFile(path)) {
        PushBool(L, false);
        return 1;
    }
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
