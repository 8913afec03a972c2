// Archives and compression of orvexUtil. The input is a zip archive that
// miniUnzip unpacks into a fresh scratch directory holding two planted
// symbolic links (to a directory and to a file outside it): nothing may
// appear, change or go outside the scratch directory, and the links and
// what they name must stay as they were. The input is also given to
// UnCompress, whose result may not exceed its documented cap, and is packed
// by Compress and zlibCompress, which UnCompress must undo exactly.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "pyn/ZipUtil.h"

using orvexfuzz::Fail;
using orvexfuzz::PushString;

namespace {

struct Layout {
    lua_State* L;
    std::string root;     // everything of this target
    std::string archive;  // root/in.zip
    std::string parent;   // root/parent: holds only the scratch directory
    std::string dest;     // root/parent/dest
    std::string outside;  // root/outside: what the links name
};

Layout& TheLayout() {
    static Layout l = [] {
        orvexfuzz::Setup();
        const std::string root = orvexfuzz::ScratchRoot("archive");
        Layout layout{orvexfuzz::OpenEngineState(), root, root + "/in.zip", root + "/parent",
                      root + "/parent/dest", root + "/outside"};
        orvexfuzz::EmptyDir(layout.parent);
        orvexfuzz::EmptyDir(layout.outside + "/dir");
        orvexfuzz::WriteFile(layout.outside + "/file", "canary");
        return layout;
    }();
    return l;
}


// fn(bytes): one string result.
std::string Transform(lua_State* L, const char* fn, const std::string& bytes) {
    PushString(L, bytes);
    if (orvexfuzz::CallScript(L, "orvexUtil", fn, 1, 1) != 0)
        Fail("%s raised: %s", fn, orvexfuzz::ErrorText(L).c_str());
    if (lua_type(L, -1) != LUA_TSTRING) Fail("%s gave a %s", fn, luaL_typename(L, -1));
    std::string out = orvexfuzz::BytesAt(L, -1);
    lua_pop(L, 1);
    return out;
}

void Unzip(Layout& l, const std::string& input, bool intoSubdirectory) {
    orvexfuzz::WriteFile(l.archive, input);
    orvexfuzz::RemoveTree(l.dest);
    orvexfuzz::EmptyDir(l.dest);
    if (symlink((l.outside + "/dir").c_str(), (l.dest + "/ldir").c_str()) != 0 ||
        symlink((l.outside + "/file").c_str(), (l.dest + "/lfile").c_str()) != 0)
        Fail("cannot plant the links");
    const std::string before = orvexfuzz::ListTree(l.root, "parent/dest");
    const std::string planted = orvexfuzz::ListTree(l.dest);

    PushString(l.L, l.archive);
    PushString(l.L, intoSubdirectory ? l.dest + "/new/sub" : l.dest);
    if (orvexfuzz::CallScript(l.L, "orvexUtil", "miniUnzip", 2, 1) != 0)
        Fail("miniUnzip raised: %s", orvexfuzz::ErrorText(l.L).c_str());
    if (lua_type(l.L, -1) != LUA_TBOOLEAN) Fail("miniUnzip gave a %s", luaL_typename(l.L, -1));
    lua_pop(l.L, 1);

    const std::string after = orvexfuzz::ListTree(l.root, "parent/dest");
    if (after != before) Fail("miniUnzip changed what lies outside its directory:\n%s\nnow:\n%s", before.c_str(),
                              after.c_str());
    // The links themselves stay (what is below them was checked above).
    const std::string now = orvexfuzz::ListTree(l.dest);
    for (const char* link : {"ldir link ", "lfile link "})
        if (now.find(link) == std::string::npos || planted.find(link) == std::string::npos)
            Fail("miniUnzip replaced a link: %s", now.c_str());
    orvexfuzz::RemoveTree(l.dest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Layout& l = TheLayout();
    lua_settop(l.L, 0);
    const std::string input(reinterpret_cast<const char*>(data), size);

    Unzip(l, input, (data[size - 1] & 3) == 3);

    const std::string out = Transform(l.L, "UnCompress", input);
    if (out.size() > pyn::CZipUtil::kMaxUnCompressSize)
        Fail("UnCompress gave %zu bytes, more than its cap", out.size());
    for (const char* packer : {"Compress", "zlibCompress"}) {
        const std::string packed = Transform(l.L, packer, input);
        if (packed.empty()) Fail("%s gave nothing", packer);
        if (Transform(l.L, "UnCompress", packed) != input) Fail("UnCompress does not undo %s", packer);
    }
    lua_settop(l.L, 0);
    lua_gc(l.L, LUA_GCSTEP, 64);
    return 0;
}
