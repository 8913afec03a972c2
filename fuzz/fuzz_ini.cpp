// orvexIni: the input is split into a key path, a value, two more key paths
// and a file's content. On a scratch file holding that content:
// GetIniValue, SetIniValue and RemoveKeyValue. A true SetIniValue must read
// back exactly (the value up to its first zero byte), a true
// RemoveKeyValue must leave the key without value, and neither may change
// a value of another key; anything but true must leave the file byte for
// byte as it was. No temporary may stay beside the file.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <string>

#include "FuzzSupport.h"

using orvexfuzz::Fail;
using orvexfuzz::PushString;

namespace {

struct Scratch {
    lua_State* L;
    std::string dir;
    std::string file;
};

Scratch& TheScratch() {
    static Scratch s = [] {
        orvexfuzz::Setup();
        std::string dir = orvexfuzz::ScratchRoot("ini") + "/d";
        return Scratch{orvexfuzz::OpenEngineState(), dir, dir + "/f.ini"};
    }();
    return s;
}


// The text GetIniValue gives for the key path.
std::string GetValue(lua_State* L, const std::string& file, const std::string& keyPath) {
    if (keyPath.empty()) return std::string();  // refused ("argv error")
    PushString(L, file);
    PushString(L, keyPath);
    if (orvexfuzz::CallScript(L, "orvexIni", "GetIniValue", 2, 1) != 0)
        Fail("GetIniValue raised: %s", orvexfuzz::ErrorText(L).c_str());
    if (lua_type(L, -1) != LUA_TSTRING) Fail("GetIniValue gave a %s", luaL_typename(L, -1));
    std::string value = orvexfuzz::BytesAt(L, -1);
    lua_pop(L, 1);
    return value;
}

// Whether two key paths name the same key: cut at the first slash (a path
// without one names a key of the section with the empty name), names
// compared without regard to ASCII case.
bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool SameKey(const std::string& a, const std::string& b) {
    size_t slashA = a.find('/'), slashB = b.find('/');
    std::string sectionA = slashA == std::string::npos ? std::string() : a.substr(0, slashA);
    std::string sectionB = slashB == std::string::npos ? std::string() : b.substr(0, slashB);
    std::string keyA = slashA == std::string::npos ? a : a.substr(slashA + 1);
    std::string keyB = slashB == std::string::npos ? b : b.substr(slashB + 1);
    return SameName(sectionA, sectionB) && SameName(keyA, keyB);
}

std::string Result(lua_State* L) {
    if (lua_type(L, -1) == LUA_TBOOLEAN) return lua_toboolean(L, -1) ? "true" : "false";
    if (lua_type(L, -1) == LUA_TSTRING) return orvexfuzz::BytesAt(L, -1);
    return std::string("a ") + luaL_typename(L, -1);
}

// A change (SetIniValue with a value, RemoveKeyValue without) of `keyPath`;
// `others` are key paths whose values must stay.
void Change(Scratch& s, const char* fn, const std::string& keyPath, const std::string* value,
            const std::string* others, int otherCount) {
    lua_State* L = s.L;
    std::string before, after;
    const bool existed = orvexfuzz::ReadFile(s.file, before);
    std::string otherValues[4];
    for (int i = 0; i < otherCount; ++i) otherValues[i] = GetValue(L, s.file, others[i]);

    PushString(L, s.file);
    PushString(L, keyPath);
    if (value) PushString(L, *value);
    const int nargs = value ? 3 : 2;
    if (orvexfuzz::CallScript(L, "orvexIni", fn, nargs, 1) != 0) {
        std::string error = orvexfuzz::ErrorText(L);
        lua_pop(L, 1);
        if (!(keyPath.empty() || (value && value->empty())) || !orvexfuzz::EndsWith(error, "argv error"))
            Fail("%s raised: %s", fn, error.c_str());
        return;
    }
    const std::string result = Result(L);
    lua_pop(L, 1);
    if (result != "true" && result != "false" && result != "load ini file error.")
        Fail("%s gave %s", fn, result.c_str());

    // Nothing but the file itself (a temporary gone, no file made).
    const std::string listing = orvexfuzz::ListTree(s.dir);
    if (existed ? listing.compare(0, 11, "f.ini file ") != 0 || listing.find('\n') != listing.size() - 1
                : !listing.empty())
        Fail("%s left %s", fn, listing.c_str());
    orvexfuzz::ReadFile(s.file, after);
    if (result != "true") {
        if (after != before) Fail("%s gave %s and changed the file", fn, result.c_str());
        return;
    }
    const std::string expected = value ? std::string(value->c_str()) : std::string();
    const std::string got = GetValue(L, s.file, keyPath);
    if (got != expected)
        Fail("%s(%s) gave true, but the key reads back as \"%s\", not \"%s\"", fn, keyPath.c_str(), got.c_str(),
             expected.c_str());
    for (int i = 0; i < otherCount; ++i) {
        if (SameKey(others[i], keyPath)) continue;
        std::string now = GetValue(L, s.file, others[i]);
        if (now != otherValues[i])
            Fail("%s(%s) changed the value of %s from \"%s\" to \"%s\"", fn, keyPath.c_str(), others[i].c_str(),
                 otherValues[i].c_str(), now.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scratch& s = TheScratch();
    FuzzedDataProvider input(data, size);
    std::string keys[4];
    keys[0] = input.ConsumeRandomLengthString(48);
    const std::string value = input.ConsumeRandomLengthString(48);
    keys[1] = input.ConsumeRandomLengthString(48);
    keys[2] = input.ConsumeRandomLengthString(48);
    const uint8_t mode = input.ConsumeIntegral<uint8_t>();
    const std::string content = input.ConsumeRemainingBytesAsString();

    orvexfuzz::EmptyDir(s.dir);
    if (!(mode & 1)) orvexfuzz::WriteFile(s.file, content);  // else: no file
    lua_settop(s.L, 0);
    for (const std::string& k : keys) GetValue(s.L, s.file, k);

    Change(s, "SetIniValue", keys[0], &value, keys + 1, 2);
    // Remove the key just set, or another one.
    const std::string& removed = mode & 2 ? keys[1] : keys[0];
    keys[3] = mode & 2 ? keys[0] : keys[1];
    Change(s, "RemoveKeyValue", removed, nullptr, keys + 2, 2);
    lua_settop(s.L, 0);
    lua_gc(s.L, LUA_GCSTEP, 64);
    return 0;
}
