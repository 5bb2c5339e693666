#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace allocation {
namespace {

thread_local bool t_counting = false;
thread_local size_t t_count = 0;

void* allocate(size_t size)
{
    if (t_counting) {
        ++t_count;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

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

void* operator new(size_t size) { return allocation::allocate(size); }
void* operator new[](size_t size) { return allocation::allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
