#include "platform/malloc_arenas.h"

#include <malloc.h>

namespace vellumark::platform {

void shareOneHeap() {
#if defined(__GLIBC__) && defined(M_ARENA_MAX)
  (void)::mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace vellumark::platform
