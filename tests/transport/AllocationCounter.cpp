#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEXA_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VEXA_SANITIZER_ALLOCATOR 1
#endif
#endif

#ifdef VEXA_SANITIZER_ALLOCATOR
// Every sanitizer runtime offers it; gcc ships no header that declares it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                                         void (*freeHook)(const volatile void*));
#endif

namespace allocation {
namespace {

thread_local bool t_counting = false;
thread_local size_t t_count = 0;

void count()
{
    if (t_counting) {
        ++t_count;
    }
}

#ifdef VEXA_SANITIZER_ALLOCATOR
void onMalloc(const volatile void*, size_t) { count(); }
void onFree(const volatile void*) {}

// Installed before main, so the first count already sees every allocation.
[[maybe_unused]] const int g_hooksInstalled = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
#else
void* allocate(size_t size)
{
    count();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
#endif

}  // namespace

void startCounting()
{
    t_count = 0;
    t_counting = true;
}

size_t stopCounting()
{
    t_counting = false;
    return t_count;
}

Pause::Pause() : m_wasCounting(t_counting) { t_counting = false; }
Pause::~Pause() { t_counting = m_wasCounting; }

}  // namespace allocation

#ifndef VEXA_SANITIZER_ALLOCATOR
void* operator new(size_t size) { return allocation::allocate(size); }
void* operator new[](size_t size) { return allocation::allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
#endif
