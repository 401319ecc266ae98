// The heap of the C interface's Windows suite: what is freed is filled with 0xDD bytes and kept
// aside for a while, so that a use after free faults at once, as a sanitizer would report it.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Keeps payloads aligned as malloc aligns them.
constexpr size_t kHeader = 16;
constexpr size_t kQuarantined = 4096;

SRWLOCK lock = SRWLOCK_INIT;
void* quarantine[kQuarantined];
size_t next = 0;

void* Allocate(size_t size) {
    if (size == 0) size = 1;
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) return nullptr;
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}

void Free(void* payload) {
    if (payload == nullptr) return;
    unsigned char* block = static_cast<unsigned char*>(payload) - kHeader;
    size_t size;
    std::memcpy(&size, block, sizeof size);
    std::memset(payload, 0xDD, size);
    AcquireSRWLockExclusive(&lock);
    void* oldest = quarantine[next];
    quarantine[next] = block;
    next = (next + 1) % kQuarantined;
    ReleaseSRWLockExclusive(&lock);
    std::free(oldest);
}

void* AllocateOrThrow(size_t size) {
    void* payload = Allocate(size);
    if (payload == nullptr) throw std::bad_alloc();
    return payload;
}

}  // namespace

void* operator new(size_t size) {
    return AllocateOrThrow(size);
}
void* operator new[](size_t size) {
    return AllocateOrThrow(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void operator delete(void* payload) noexcept {
    Free(payload);
}
void operator delete[](void* payload) noexcept {
    Free(payload);
}
void operator delete(void* payload, size_t) noexcept {
    Free(payload);
}
void operator delete[](void* payload, size_t) noexcept {
    Free(payload);
}
void operator delete(void* payload, const std::nothrow_t&) noexcept {
    Free(payload);
}
void operator delete[](void* payload, const std::nothrow_t&) noexcept {
    Free(payload);
}
