#pragma once
// The process's descriptor table as the servers see it: the limit, raised at start-up; the
// bound under which accepted connections may be kept, so that files, camera connections and the
// configuration server still find descriptors when viewers fill the rest; and a spare
// descriptor that lets a listener drain its backlog when the table is full anyway.
//
// Any thread may call these.
#include <cstdint>

namespace platform {

// Raises the soft RLIMIT_NOFILE to the hard limit. The soft limit in force afterwards.
uint64_t raiseDescriptorLimit();
// The soft RLIMIT_NOFILE now.
uint64_t descriptorLimit();
// Accepted endpoint connections are kept only on descriptor numbers below this: the limit less
// a reserve (a sixteenth and 64 more, at most a quarter of the limit). The system always hands out the
// lowest free number, so a connection accepted at or above it means that every number below
// is taken.
int connectionDescriptorBound();
// Whether an accept or open failed because a descriptor table is full.
bool outOfDescriptors(int err);

// Takes a connection waiting on listenFd and closes it at once, with the one descriptor the
// process holds in reserve for this. When the table is full, a waiting connection stays in the
// listening socket's backlog and keeps it readable, so a loop that only retried the accept
// would spin. True when one was shed; false without a reserve (it could not be taken back the
// last time: the caller then pauses accepting) or when nothing waited. Any listener's thread.
bool shedConnection(int listenFd);

}  // namespace platform
