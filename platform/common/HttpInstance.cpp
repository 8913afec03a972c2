// The library's one HTTP client, the same on every platform.
#include "pyn/HttpUtil.h"
#include "pyn/Singleton.h"

namespace pyn {

template <>
CHttpUtil* CSingleton<CHttpUtil>::GetInstance() {
    // Never destroyed (nor is the HTTP library cleaned up): finalizers of
    // states closed at exit may still make requests.
    static CHttpUtil* instance = new CHttpUtil;
    return instance;
}

}  // namespace pyn
