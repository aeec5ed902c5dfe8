#pragma once
// Fault injection for thread creation in the test binary: the binary defines pthread_create
// itself (forwarding to the C library's), so a test can make the creation of one particular
// thread fail, or make pthread_create return late while the new thread already runs.
//
// A thread is picked by the argument its creator passes to pthread_create (CThread passes the
// object itself, as a CThread*). Any thread may call these functions.
namespace pthreadhooks {

// The next `count` creations with this argument fail with EAGAIN.
void failCreate(const void* arg, int count);
// The next creation with this argument returns only `ms` milliseconds after the new thread
// was started.
void delayCreateReturn(const void* arg, int ms);
// Forgets every pending fault.
void reset();

}  // namespace pthreadhooks
