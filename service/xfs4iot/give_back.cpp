#include "give_back.h"

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
