#include "tests/support/PthreadHooks.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace {

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

std::mutex g_lock;
const void* g_failArg = nullptr;  // guarded by g_lock
int g_failCount = 0;
const void* g_delayArg = nullptr;
int g_delayMs = 0;

CreateFn realCreate() {
  static const CreateFn fn = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return fn;
}

}  // namespace

namespace pthreadhooks {

void failCreate(const void* arg, int count) {
  std::lock_guard<std::mutex> g(g_lock);
  g_failArg = arg;
  g_failCount = count;
}

void delayCreateReturn(const void* arg, int ms) {
  std::lock_guard<std::mutex> g(g_lock);
  g_delayArg = arg;
  g_delayMs = ms;
}

void reset() {
  std::lock_guard<std::mutex> g(g_lock);
  g_failArg = g_delayArg = nullptr;
  g_failCount = g_delayMs = 0;
}

}  // namespace pthreadhooks

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*start)(void*), void* arg) {
  int delayMs = 0;
  {
    std::lock_guard<std::mutex> g(g_lock);
    if (arg != nullptr && arg == g_failArg && g_failCount > 0) {
      if (--g_failCount == 0) g_failArg = nullptr;
      return EAGAIN;
    }
    if (arg != nullptr && arg == g_delayArg) {
      delayMs = g_delayMs;
      g_delayArg = nullptr;
    }
  }
  const int rc = realCreate()(thread, attr, start, arg);
  if (rc == 0 && delayMs > 0) usleep(useconds_t(delayMs) * 1000);
  return rc;
}
