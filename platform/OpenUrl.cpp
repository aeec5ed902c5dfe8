#include "platform/OpenUrl.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// Closes every descriptor from `from` upwards except `keep`. Only async-signal-safe calls:
// it runs between fork and exec in a multi-threaded process.
void closeFromExcept(int from, int keep) {
#ifdef SYS_close_range
  if (keep > from) syscall(SYS_close_range, from, keep - 1, 0);
  if (syscall(SYS_close_range, keep + 1, ~0U, 0) == 0) return;
#endif
  long maxFd = sysconf(_SC_OPEN_MAX);
  if (maxFd < 0 || maxFd > 65536) maxFd = 65536;
  for (int fd = from; fd < maxFd; ++fd)
    if (fd != keep) close(fd);
}

void writeErrnoAndExit(int pipeFd, int err) {
  ssize_t ignored = write(pipeFd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

}  // namespace

bool spawnDetached(const std::vector<std::string>& argv, std::string* error) {
  if (argv.empty() || argv[0].empty()) {
    if (error) *error = "no program given";
    return false;
  }
  // Everything the children need is prepared here: after fork only async-signal-safe calls.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // The grandchild reports a failed exec through this pipe; a successful exec closes it
  // (O_CLOEXEC), so the parent reads end-of-file.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  pid_t child = fork();
  if (child < 0) {
    int err = errno;
    close(report[0]);
    close(report[1]);
    if (error) *error = std::string("fork: ") + std::strerror(err);
    return false;
  }
  if (child == 0) {
    close(report[0]);
    setsid();  // away from our terminal and process group: Ctrl-C at our console spares it
    pid_t grandchild = fork();
    if (grandchild < 0) writeErrnoAndExit(report[1], errno);
    if (grandchild > 0) _exit(0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    closeFromExcept(3, report[1]);
    execvp(args[0], args.data());
    writeErrnoAndExit(report[1], errno);
  }
  close(report[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  do {
    n = read(report[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) {
    if (error) *error = "cannot run '" + argv[0] + "': " + std::strerror(err);
    return false;
  }
  if (n < 0) {
    if (error) *error = "cannot learn whether '" + argv[0] + "' started: " + std::strerror(errno);
    return false;
  }
  if (error) error->clear();
  return true;
}

std::string urlOpenerProgram() {
  const char* v = std::getenv("TELVGATE_URL_OPENER");
  return (v && *v) ? std::string(v) : std::string("xdg-open");
}

bool openUrl(const std::string& url, std::string* error) {
  return spawnDetached({urlOpenerProgram(), url}, error);
}

}  // namespace platform
