// Runs test code on a thread whose stack is as small as a worker's can be in production, so that
// a reading that recurses too deeply crashes the test instead of passing on a big main stack.
#pragma once

#include <cstddef>
#include <functional>

namespace voxtrel::test {

// 1 MiB: the default for threads on Windows and what "ulimit -s 1024" gives on Linux.
inline constexpr size_t kSmallStack = size_t{1} << 20;

// Runs work to completion on a new thread with a stack of about stackBytes; false when no such
// thread could be made (work did not run).
bool RunOnSmallStack(const std::function<void()>& work, size_t stackBytes = kSmallStack);

}  // namespace voxtrel::test
