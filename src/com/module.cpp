// The module's handle, file name and lock count.
#include "com/module.h"

#include <atomic>

#include "control/win/window_class.h"

namespace voxtrel::com {

namespace {
std::atomic<long> locks{0};
}

HMODULE ThisModule() {
    return CodeModule();
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void LockModule() {
    locks.fetch_add(1);
}
void UnlockModule() {
    locks.fetch_sub(1);
}
bool ModuleInUse() {
    return locks.load() != 0;
}

}  // namespace voxtrel::com
