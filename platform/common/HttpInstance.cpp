// The library's one HTTP client, the same on every platform.
#include "pyn/HttpUtil.h"
#include "pyn/Singleton.h"

namespace pyn {

template <>
CHttpUtil* CSingleton<CHttpUtil>::GetInstance() {
    static CHttpUtil instance;
    return &instance;
}

}  // namespace pyn
