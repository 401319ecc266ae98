// The module that holds the control (voxtrel.ocx, or a test program linked with the control): its
// handle, its file name and the count of what keeps it loaded.
#pragma once

#include <windows.h>

#include <string>

namespace voxtrel::com {

// The module whose code this is, found from an address inside it, so that it is right both in the
// DLL and in a program that links the control directly.
HMODULE ThisModule();
std::wstring ModulePath();

// Live objects, class factory locks and pending clean-ups each hold one lock; DllCanUnloadNow
// answers S_OK only when none is held.
void LockModule();
void UnlockModule();
bool ModuleInUse();

}  // namespace voxtrel::com
