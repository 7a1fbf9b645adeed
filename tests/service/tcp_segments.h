#pragma once

// Segments with data the TCP socket fd has sent so far (Linux).
unsigned DataSegmentsOut(int fd);
