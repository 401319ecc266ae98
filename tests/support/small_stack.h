// Runs test code on a thread whose stack is as small as a worker's can be in production, so that
// a reading that recurses too deeply crashes the test instead of passing on a big main stack.
#pragma once

#include <cstddef>
#include <functional>

#ifdef _WIN32
#include <thread>
#else
#include <pthread.h>
#endif

namespace voxtrel::test {

// 1 MiB: the default for threads on Windows and what "ulimit -s 1024" gives on Linux.
inline constexpr size_t kSmallStack = size_t{1} << 20;

// Runs work to completion on a new thread with a stack of stackBytes; false when no such thread
// could be made (work did not run).
inline bool RunOnSmallStack(const std::function<void()>& work, size_t stackBytes = kSmallStack) {
#ifdef _WIN32
    // Windows threads get 1 MiB unless the executable asks for more, which the tests do not.
    (void)stackBytes;
    std::thread thread(work);
    thread.join();
    return true;
#else
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
#endif
}

}  // namespace voxtrel::test
