#include "AllocationCounter.h"

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ONDIRA_BENCH_NO_COUNTING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ONDIRA_BENCH_NO_COUNTING 1
#endif
#endif

namespace {
// Static TLS of the executable: usable from inside malloc, even while a
// thread starts.
thread_local unsigned long long allocations = 0;
} // namespace

namespace ondira_bench {

unsigned long long threadAllocations()
{
    return allocations;
}

#ifdef ONDIRA_BENCH_NO_COUNTING

bool allocationsCounted()
{
    return false;
}

#else

bool allocationsCounted()
{
    return true;
}

} // namespace ondira_bench

// glibc's own allocator, which these definitions stand in front of.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);

void* malloc(std::size_t size)
{
    ++allocations;
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    ++allocations;
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size)
{
    ++allocations;
    return __libc_realloc(pointer, size);
}

void free(void* pointer)
{
    __libc_free(pointer);
}
}

// operator new goes through malloc in libstdc++, but a program may replace
// it; these keep the count right either way.
void* operator new(std::size_t size)
{
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return ::operator new(size);
}

void operator delete(void* pointer) noexcept
{
    std::free(pointer);
}

void operator delete[](void* pointer) noexcept
{
    std::free(pointer);
}

void operator delete(void* pointer, std::size_t) noexcept
{
    std::free(pointer);
}

void operator delete[](void* pointer, std::size_t) noexcept
{
    std::free(pointer);
}

namespace ondira_bench {

#endif

} // namespace ondira_bench
