// The small-stack runner on Windows: a thread created with only the stack it asks for reserved.
#include <windows.h>

#include "small_stack.h"

namespace voxtrel::test {
namespace {
DWORD WINAPI RunWork(void* work) {
    (*static_cast<const std::function<void()>*>(work))();
    return 0;
}
}  // namespace

bool RunOnSmallStack(const std::function<void()>& work, size_t stackBytes) {
    HANDLE thread =
        CreateThread(nullptr, stackBytes, RunWork, const_cast<std::function<void()>*>(&work),
                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}

}  // namespace voxtrel::test
