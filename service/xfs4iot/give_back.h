// Memory the service freed goes back to the system, where the C library
// keeps it otherwise (glibc keeps freed pages of its arenas for reuse):
// after many clients that read nothing have left, the resident size falls
// back. One narrow seam; elsewhere it does nothing.
#pragma once

namespace quillon::xfs {

void GiveMemoryBack();

// Gives memory back when it ends: the first member of an object, so that
// the others are freed by then.
struct tGiveBackAtEnd {
    tGiveBackAtEnd() = default;
    tGiveBackAtEnd(const tGiveBackAtEnd&) = delete;
    tGiveBackAtEnd& operator=(const tGiveBackAtEnd&) = delete;
    ~tGiveBackAtEnd() { GiveMemoryBack(); }
};

} // namespace quillon::xfs
