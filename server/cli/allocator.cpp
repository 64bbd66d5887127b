#include "cli/allocator.h"

#if defined(VELMO_JEMALLOC)
// Read by jemalloc as it starts. Freed pages go back to the system after about a second, by a
// thread of jemalloc's own rather than on the request path; with the default ten seconds a crowd
// of large replies piled up first.
extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "background_thread:true,dirty_decay_ms:1000,muzzy_decay_ms:0";
}
#else
#include <malloc.h>
#endif

namespace velmo::server {

void tuneAllocator() {
#if !defined(VELMO_JEMALLOC)
    // glibc maps a block of this size or more on its own and unmaps it when it is freed. Left to
    // itself, it raises the bound to the size of each mapped block freed, up to 32 MiB: after the
    // first page of strokes sent, every later one came from the heaps of the worker threads,
    // which kept what 200 unread replies of a large canvas had held (more than the reply budget)
    // long after the clients were gone. A fixed bound stops the raise; smaller blocks (requests,
    // polls, stroke texts) come from the heaps as before.
    constexpr int MmapThreshold = 128 * 1024;
    mallopt(M_MMAP_THRESHOLD, MmapThreshold);
#endif
}

} // namespace velmo::server
