// The replaced global operator new and delete, and the block table behind the
// count of HeapCount.h. Nothing here allocates from the heap itself.
#include "HeapCount.h"

#include <cstdlib>
#include <new>

namespace sweep {
namespace {

constexpr std::size_t kTableSize = 1 << 14;

void* g_blocks[kTableSize];
std::size_t g_live = 0;
bool g_counting = false;
bool g_overflow = false;
int g_platformDepth = 0;
ExtraHook g_extraHook = nullptr;
std::size_t g_allocations = 0;
std::size_t g_failAt = 0;

// True when this allocation is the action's and the one made to fail.
bool FailsNow() {
    if (!g_counting || g_platformDepth > 0) return false;
    return ++g_allocations == g_failAt;
}

void Remember(void* block) {
    if (!g_counting || g_platformDepth > 0 || block == nullptr) return;
    if (g_live == kTableSize) {
        g_overflow = true;
        return;
    }
    g_blocks[g_live++] = block;
}

void Forget(void* block) {
    if (!g_counting || block == nullptr) return;
    // Newest first: most blocks are short-lived.
    for (std::size_t i = g_live; i-- > 0;) {
        if (g_blocks[i] == block) {
            g_blocks[i] = g_blocks[--g_live];
            return;
        }
    }
}

void* Allocate(std::size_t size) {
    if (FailsNow()) return nullptr;
    void* block = std::malloc(size ? size : 1);
    Remember(block);
    return block;
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
    if (FailsNow()) return nullptr;
    const std::size_t align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = ((size ? size : 1) + align - 1) / align * align;
    void* block = std::aligned_alloc(align, rounded);
    Remember(block);
    return block;
}

void Release(void* block) {
    Forget(block);
    std::free(block);
}

}  // namespace

void BeginHeapCount() {
    g_live = 0;
    g_allocations = 0;
    g_overflow = false;
    g_platformDepth = 0;
    g_counting = true;
}

std::size_t EndHeapCount() {
    g_counting = false;
    g_failAt = 0;
    return g_live;
}

std::size_t HeapAllocationsCounted() { return g_allocations; }

void FailAllocation(std::size_t nth) { g_failAt = nth; }

bool HeapCountOverflowed() { return g_overflow; }

void PlatformCallHook(const std::string& function, bool before) {
    if (before) {
        ++g_platformDepth;
        if (g_extraHook) g_extraHook(function, before);
    } else {
        if (g_extraHook) g_extraHook(function, before);
        if (g_platformDepth > 0) --g_platformDepth;
    }
}

void SetExtraHook(ExtraHook hook) { g_extraHook = hook; }

}  // namespace sweep

void* operator new(std::size_t size) {
    void* block = sweep::Allocate(size);
    if (!block) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size) {
    void* block = sweep::Allocate(size);
    if (!block) throw std::bad_alloc();
    return block;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return sweep::Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return sweep::Allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    void* block = sweep::AllocateAligned(size, alignment);
    if (!block) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    void* block = sweep::AllocateAligned(size, alignment);
    if (!block) throw std::bad_alloc();
    return block;
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return sweep::AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return sweep::AllocateAligned(size, alignment);
}

void operator delete(void* block) noexcept { sweep::Release(block); }
void operator delete[](void* block) noexcept { sweep::Release(block); }
void operator delete(void* block, std::size_t) noexcept { sweep::Release(block); }
void operator delete[](void* block, std::size_t) noexcept { sweep::Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { sweep::Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { sweep::Release(block); }
void operator delete(void* block, std::align_val_t) noexcept { sweep::Release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { sweep::Release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { sweep::Release(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { sweep::Release(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { sweep::Release(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { sweep::Release(block); }
