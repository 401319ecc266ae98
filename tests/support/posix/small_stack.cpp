// The small-stack runner on POSIX: a pthread whose stack size the test sets.
#include "small_stack.h"

#include <pthread.h>

namespace voxtrel::test {

bool RunOnSmallStack(const std::function<void()>& work, size_t stackBytes) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setstacksize(&attributes, stackBytes);
    pthread_t thread;
    auto trampoline = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    int created =
        pthread_create(&thread, &attributes, trampoline, const_cast<std::function<void()>*>(&work));
    pthread_attr_destroy(&attributes);
    if (created != 0) return false;
    pthread_join(thread, nullptr);
    return true;
}

}  // namespace voxtrel::test
