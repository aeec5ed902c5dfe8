#pragma once
// The single-instance check: an exclusive advisory lock (flock) on a file named after the
// program in the user's runtime folder. The operating system drops the lock when the process
// ends, however it ends, so a crashed instance never blocks the next start.
//
// Folder, first that is set: $TELVGATE_LOCK_DIR (tests), $XDG_RUNTIME_DIR, /tmp/telvgate-<uid>/
// (created with mode 0700 and refused when another user owns it).
//
// GUI thread, start-up only. Not copyable; the lock is held until the object is destroyed.
#include <string>

namespace platform {

class InstanceLock {
 public:
  enum class Result {
    Acquired,        // we are the only instance
    AlreadyRunning,  // another process holds the lock
    Failed,          // the lock file could not be opened or locked; see error()
  };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Opens (creating when needed) <lockDirectory()>/<name> and tries to lock it without waiting.
  Result acquire(const std::string& name);
  // Releases the lock (also done by the destructor).
  void release();

  bool held() const { return m_fd >= 0; }
  // The lock file's path after acquire() (also when it failed).
  const std::string& path() const { return m_path; }
  // What went wrong, with the path and the errno text ("" after success).
  const std::string& error() const { return m_error; }

  // The folder the lock file goes into (see the top of this file). Creates the /tmp fallback;
  // on failure returns "" and describes the problem in *error.
  static std::string lockDirectory(std::string* error);

 private:
  int m_fd = -1;
  std::string m_path;
  std::string m_error;
};

}  // namespace platform
