#pragma once
// The kernel's table of waiting threads for this process (the futex hash): every wait and wake
// of a mutex or condition variable looks up its chain there.
//
// Since Linux 6.16 a process gets a table of its own, sized by the number of CPUs (four chains
// each, at least 16): 16 chains on a 2-CPU machine. The gateway runs a thread per channel, per
// consumer and per recorder, hundreds of waiters in all, so those chains grow long and every
// hand-over of a picture walks one of them. Kernels before 6.16 use one large table shared by
// all processes; there is nothing to size then.
//
// Called from the main thread at start-up, before the channels start their threads.
namespace platform {

// Enough for about 500 waiting threads at four chains each.
constexpr unsigned kFutexSlotsForManyThreads = 2048;

// Asks for a table of at least `slots` chains (rounded up to a power of two). True when the
// kernel took it; false with errno when the kernel has no table per process (EINVAL) or
// refused (ENOMEM).
bool reserveFutexSlots(unsigned slots);

// The chains of this process's own table; 0 while it uses the shared table, -1 with errno when
// the kernel has no table per process.
int futexSlots();

}  // namespace platform
