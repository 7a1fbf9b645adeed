#include "give_back.h"

#include <cstdlib> // the C library says who it is

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillon::xfs {

void GiveMemoryBack() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace quillon::xfs
