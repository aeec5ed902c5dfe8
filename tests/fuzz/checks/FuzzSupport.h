#pragma once
// Small helpers shared by the checks that feed bytes through a real socket.
#include <cstddef>
#include <cstdint>

namespace fuzzcheck {

// Sends as much of data as the socket takes without blocking (the rest is dropped, as if the
// peer had stopped there), then shuts the sending side down so the reader sees the end.
// The count sent.
size_t sendAndFinish(int fd, const uint8_t* data, size_t size);

}  // namespace fuzzcheck
