// The single-instance lock, the detached URL opener and the process's table of waiting threads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/FutexSlots.h"
#include "platform/InstanceLock.h"
#include "platform/OpenUrl.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

using platform::InstanceLock;

namespace {

// Sets (or unsets, with nullptr) an environment variable for one scope.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : m_name(name) {
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    if (value) setenv(name, value, 1); else unsetenv(name);
  }
  ~EnvVar() {
    if (m_had) setenv(m_name, m_old.c_str(), 1); else unsetenv(m_name);
  }

 private:
  const char* m_name;
  bool m_had;
  std::string m_old;
};

bool waitForFile(const std::string& path, int timeoutMs) {
  return waitFor([&] { return !readFile(path).empty(); }, timeoutMs);
}

}  // namespace

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstReleases) {
  TempDir dir;
  EnvVar lockDir("TELVGATE_LOCK_DIR", dir.path().c_str());
  InstanceLock first, second;
  ASSERT_EQ(first.acquire("TelvGate"), InstanceLock::Result::Acquired) << first.error();
  EXPECT_EQ(first.path(), dir.file("TelvGate"));
  // flock locks belong to the open file, so a second open in the same process conflicts too.
  EXPECT_EQ(second.acquire("TelvGate"), InstanceLock::Result::AlreadyRunning);
  EXPECT_FALSE(second.held());
  // Another name is another program.
  InstanceLock other;
  EXPECT_EQ(other.acquire("OtherProgram"), InstanceLock::Result::Acquired);

  first.release();
  EXPECT_EQ(second.acquire("TelvGate"), InstanceLock::Result::Acquired);
}

TEST(InstanceLock, FolderFallsBackFromRuntimeDirToPrivateTmpFolder) {
  TempDir runtime;
  {
    EnvVar lockDir("TELVGATE_LOCK_DIR", nullptr);
    EnvVar xdg("XDG_RUNTIME_DIR", runtime.path().c_str());
    EXPECT_EQ(InstanceLock::lockDirectory(nullptr), runtime.path());
  }
  EnvVar lockDir("TELVGATE_LOCK_DIR", "");
  EnvVar xdg("XDG_RUNTIME_DIR", nullptr);
  std::string error;
  const std::string dir = InstanceLock::lockDirectory(&error);
  ASSERT_EQ(dir, "/tmp/telvgate-" + std::to_string(getuid())) << error;
  struct stat st;
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u) << "the fallback folder must be private";
}

TEST(InstanceLock, UnusableFolderIsAFailureWithPathAndReason) {
  TempDir dir;
  const std::string missing = dir.file("no/such/folder");
  EnvVar lockDir("TELVGATE_LOCK_DIR", missing.c_str());
  InstanceLock lock;
  EXPECT_EQ(lock.acquire("TelvGate"), InstanceLock::Result::Failed);
  EXPECT_NE(lock.error().find(missing), std::string::npos) << lock.error();
  EXPECT_NE(lock.error().find("No such file"), std::string::npos) << lock.error();
}

TEST(InstanceLock, LockIsNotInheritedByStartedPrograms) {
  TempDir dir;
  EnvVar lockDir("TELVGATE_LOCK_DIR", dir.path().c_str());
  InstanceLock lock;
  ASSERT_EQ(lock.acquire("TelvGate"), InstanceLock::Result::Acquired);
  // A browser started from the window lives on after we end; it must not keep our lock.
  // The opened lock file is the only file in this folder that a descriptor can point to.
  const std::string out = dir.file("fds.txt");
  std::string error;
  ASSERT_TRUE(platform::spawnDetached(
      {"/bin/sh", "-c", "ls -l /proc/$$/fd > " + out + ".tmp; mv " + out + ".tmp " + out}, &error))
      << error;
  ASSERT_TRUE(waitForFile(out, 5000));
  EXPECT_EQ(readFile(out).find(lock.path()), std::string::npos) << readFile(out);
}

TEST(SpawnDetached, RunsTheProgramWithItsArgumentsWithoutWaitingForIt) {
  TempDir dir;
  const std::string out = dir.file("args.txt");
  std::string error = "stale";
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform::spawnDetached(
      {"sh", "-c", "sleep 2; echo \"$0|$1\" > " + out, "first arg", "http://x/?a=1&b=2"}, &error));
  // Two forks of a sanitized test process on a loaded machine took 265 ms once: the program's
  // 2 s leave a wide margin for that while still telling waiting from not waiting.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500))
      << "the caller (the GUI thread) must not wait for the program";
  EXPECT_EQ(error, "");
  ASSERT_TRUE(waitForFile(out, 10000));
  EXPECT_EQ(readFile(out), "first arg|http://x/?a=1&b=2\n");
}

TEST(SpawnDetached, MissingProgramIsReportedWithItsName) {
  std::string error;
  EXPECT_FALSE(platform::spawnDetached({"telvgate-no-such-program-4711", "x"}, &error));
  EXPECT_NE(error.find("telvgate-no-such-program-4711"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_FALSE(platform::spawnDetached({}, &error));
}

TEST(SpawnDetached, ProgramGetsOnlyStandardDescriptorsAndIsNotOurChild) {
  TempDir dir;
  int leaky[2];
  ASSERT_EQ(pipe(leaky), 0);  // deliberately without O_CLOEXEC, like a careless socket
  // At numbers the shell does not use itself.
  ASSERT_EQ(dup2(leaky[0], 200), 200);
  ASSERT_EQ(dup2(leaky[1], 201), 201);
  const std::string out = dir.file("fd.txt");
  const std::string check =
      "for n in 0 1 2 200 201; do [ -e /proc/$$/fd/$n ] && echo has $n; done; echo ppid=$PPID";
  std::string error;
  ASSERT_TRUE(platform::spawnDetached(
      {"sh", "-c", "{ " + check + "; } > " + out + ".tmp 2>&1; mv " + out + ".tmp " + out}, &error))
      << error;
  ASSERT_TRUE(waitForFile(out, 5000));
  const std::string text = readFile(out);
  for (int fd : {leaky[0], leaky[1], 200, 201}) close(fd);
  EXPECT_NE(text.find("has 0\nhas 1\nhas 2\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("has 20"), std::string::npos) << text;
  EXPECT_EQ(text.find("ppid=" + std::to_string(getpid()) + "\n"), std::string::npos)
      << "the program must be re-parented, never a zombie of ours: " << text;
}

TEST(OpenUrl, UsesTheConfiguredOpenerProgram) {
  TempDir dir;
  const std::string script = dir.file("opener.sh");
  const std::string out = dir.file("url.txt");
  ASSERT_TRUE(writeFile(script, "#!/bin/sh\necho \"$1\" > " + out + "\n"));
  chmod(script.c_str(), 0755);
  {
    EnvVar opener("TELVGATE_URL_OPENER", script.c_str());
    EXPECT_EQ(platform::urlOpenerProgram(), script);
    std::string error;
    ASSERT_TRUE(platform::openUrl("http://localhost:8080", &error)) << error;
    ASSERT_TRUE(waitForFile(out, 5000));
    EXPECT_EQ(readFile(out), "http://localhost:8080\n");
  }
  EnvVar unset("TELVGATE_URL_OPENER", nullptr);
  EXPECT_EQ(platform::urlOpenerProgram(), "xdg-open");
}

TEST(FutexSlots, TableIsAtLeastAsLargeAsAskedInPowersOfTwo) {
  if (platform::futexSlots() < 0) GTEST_SKIP() << "this kernel has no table per process";
  ASSERT_TRUE(platform::reserveFutexSlots(1000));
  EXPECT_EQ(platform::futexSlots(), 1024);
  ASSERT_TRUE(platform::reserveFutexSlots(platform::kFutexSlotsForManyThreads));
  EXPECT_EQ(platform::futexSlots(), 2048);
}
