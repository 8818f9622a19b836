#include "data/memoryreuse.h"

#include <cstdlib> // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kestrel
{

void reuseFreedMemory()
{
#if defined(__GLIBC__)
    // Setting them also ends glibc's sliding threshold, which follows the blocks freed.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
}

} // namespace kestrel
