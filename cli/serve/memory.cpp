#include "cli/serve/memory.hpp"

#if defined(__GLIBC__) && !defined(ZUN_WITH_MIMALLOC) && \
    !defined(ZUN_SANITIZER_ALLOCATOR)
#define ZUN_WITH_GLIBC_MALLOC
#include <malloc.h>
#endif

namespace profile_query {

void return_freed_memory_promptly() {
#if defined(ZUN_WITH_GLIBC_MALLOC)
  // An arena per HTTP worker thread would each keep the top of its heap.
  mallopt(M_ARENA_MAX, 2);
#endif
}

void return_freed_memory() {
#if defined(ZUN_WITH_GLIBC_MALLOC)
  malloc_trim(0);
#endif
}

}  // namespace profile_query
