#include "pyn/HostSettings.h"

#include <atomic>
#include <mutex>

#include "pyn/NoDestructor.h"

namespace pyn {
namespace {

struct Settings {
    std::mutex mutex;
    std::string appDir;
    std::string codePage;
    std::atomic<unsigned> generation{1};
};

// Read at any time, also by finalizers of states closed at exit.
Settings& Get() {
    static NoDestructor<Settings> settings;
    return *settings;
}

std::atomic<size_t> g_readLimit{CHostSettings::kDefaultReadLimit};

}  // namespace

void CHostSettings::SetApplicationDir(const std::string& dir) {
    Settings& s = Get();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.appDir = dir;
}

std::string CHostSettings::ApplicationDirOverride() {
    Settings& s = Get();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.appDir;
}

void CHostSettings::SetLocalCodePage(const std::string& name) {
    Settings& s = Get();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.codePage = name;
    s.generation.fetch_add(1, std::memory_order_acq_rel);
}

std::string CHostSettings::LocalCodePageOverride() {
    Settings& s = Get();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.codePage;
}

unsigned CHostSettings::CodePageGeneration() {
    return Get().generation.load(std::memory_order_acquire);
}

void CHostSettings::SetReadLimit(size_t bytes) {
    g_readLimit.store(bytes == 0 ? kDefaultReadLimit : bytes, std::memory_order_relaxed);
}

size_t CHostSettings::ReadLimit() { return g_readLimit.load(std::memory_order_relaxed); }

}  // namespace pyn
