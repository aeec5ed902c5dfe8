#include "platform/FutexSlots.h"

#include <sys/prctl.h>

// Debian 12's headers predate the call.
#ifndef PR_FUTEX_HASH
#define PR_FUTEX_HASH 78
#define PR_FUTEX_HASH_SET_SLOTS 1
#define PR_FUTEX_HASH_GET_SLOTS 2
#endif

namespace platform {

bool reserveFutexSlots(unsigned slots) {
  // The kernel takes powers of two of at least 2 (0 would mean the shared table).
  unsigned long n = 2;
  while (n < slots && n < (1ul << 30)) n <<= 1;
  return ::prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_SET_SLOTS, n, 0ul, 0ul) == 0;
}

int futexSlots() { return ::prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_GET_SLOTS, 0ul, 0ul, 0ul); }

}  // namespace platform
