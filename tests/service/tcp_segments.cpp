// Kept apart from Asio's headers: the kernel's tcp_info, which glibc's
// <netinet/tcp.h> has without the data segment count.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tcp_segments.h"

unsigned DataSegmentsOut(int fd) {
    tcp_info info{};
    socklen_t n = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &n) != 0)
        return 0;
    return info.tcpi_data_segs_out;
}
