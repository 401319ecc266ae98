// Window classes that live exactly as long as their windows.
#include "control/win/window_class.h"

namespace voxtrel {

HMODULE CodeModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&CodeModule), &module);
    return module;
}

bool ModuleWindowClass::Acquire() {
    AcquireSRWLockExclusive(&lock_);
    bool ok = true;
    if (users_ == 0) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = procedure_;
        wc.hInstance = CodeModule();
        wc.hCursor = cursor_ ? LoadCursorW(nullptr, cursor_) : nullptr;
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(background_));
        wc.lpszClassName = name_;
        ok = RegisterClassExW(&wc) != 0;
    }
    if (ok) ++users_;
    ReleaseSRWLockExclusive(&lock_);
    return ok;
}

void ModuleWindowClass::Release() {
    AcquireSRWLockExclusive(&lock_);
    if (users_ > 0 && --users_ == 0) UnregisterClassW(name_, CodeModule());
    ReleaseSRWLockExclusive(&lock_);
}

}  // namespace voxtrel
