// How a WebSocket message arrived: text is read, binary and oversized
// messages are refused.
#pragma once

#include <cstddef>

namespace quillon::xfs {

// The biggest message the service reads; a longer one is refused with
// invalidMessage and the connection stays usable.
constexpr size_t kMaxMessageBytes = 64 * 1024;

enum class FrameKind { Text, Binary, Oversized };

} // namespace quillon::xfs
