// The module's handle, file name and lock count.
#include "com/module.h"

#include <atomic>

namespace voxtrel::com {

namespace {
std::atomic<long> locks{0};
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
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
