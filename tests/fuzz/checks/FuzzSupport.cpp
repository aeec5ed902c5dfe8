#include "tests/fuzz/checks/FuzzSupport.h"

#include <sys/socket.h>

namespace fuzzcheck {

size_t sendAndFinish(int fd, const uint8_t* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = ::send(fd, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += size_t(n);
  }
  ::shutdown(fd, SHUT_WR);
  return sent;
}

}  // namespace fuzzcheck
