// A window class of the module that holds this code, registered while any of its windows exists
// (never left pointing into the image of an unloaded module). Windows only.
#pragma once

#include <windows.h>

namespace voxtrel {

// The module (DLL or program) whose code this is.
HMODULE CodeModule();

class ModuleWindowClass {
  public:
    // The texts and the procedure must outlive the object; cursor is a system cursor id or null.
    constexpr ModuleWindowClass(const wchar_t* name, WNDPROC procedure, int background = 0,
                                const wchar_t* cursor = nullptr)
        : name_(name), procedure_(procedure), background_(background), cursor_(cursor) {}
    ModuleWindowClass(const ModuleWindowClass&) = delete;
    ModuleWindowClass& operator=(const ModuleWindowClass&) = delete;

    // Before a window of the class is made: registers the class when no window has it; false when
    // that fails. Any thread.
    bool Acquire();
    // After such a window is destroyed: the last one removes the class.
    void Release();
    const wchar_t* Name() const { return name_; }

  private:
    const wchar_t* name_;
    WNDPROC procedure_;
    int background_;  // a system colour index plus one, as a class brush; 0 for none
    const wchar_t* cursor_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    long users_ = 0;
};

}  // namespace voxtrel
