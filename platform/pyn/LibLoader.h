// Native module loader of the pyn utility layer: one object per module path.
#pragma once

#include <string>

namespace pyn {

class CLibLoader {
public:
    // Remembers the path (local code page); does not load yet.
    explicit CLibLoader(const char* path);
    // Unloads the module if it is still loaded.
    ~CLibLoader();
    CLibLoader(const CLibLoader&) = delete;
    CLibLoader& operator=(const CLibLoader&) = delete;

    // Loads the module (true at once when it is already loaded).
    bool load();
    // Whether the module is loaded now.
    bool isload() const;
    // Address of the function `name` that the module itself defines and
    // exports, or null: for a name it does not export, for a data symbol,
    // for a function of another module (one it depends on, or one a
    // forwarded export leads to), and when it is not loaded.
    void* resolve(const char* name) const;
    // Unloads the module; true when it was loaded and is now released.
    bool unload();

private:
    std::string m_path;
    void* m_handle = nullptr;
};

}  // namespace pyn
