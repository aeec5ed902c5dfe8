// The installed form of the gateway: the install layout, the service unit as systemd reads it,
// and the Debian package built by scripts/package.sh (contents, control fields, lintian, and
// the packaged program running from an unpacked tree).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestEnv.h"

namespace {

struct ShellRun {
  int code = -1;  // exit status; 124 when `timeout` ended the command
  std::string output;  // standard output and error together
};

// Runs a shell command under `timeout` so a hanging tool cannot hold the suite.
ShellRun runShell(const std::string& command, int timeoutSec) {
  ShellRun r;
  const std::string line =
      "timeout " + std::to_string(timeoutSec) + " sh -c '" + command + "' 2>&1";
  FILE* p = popen(line.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool haveTool(const std::string& name) {
  return runShell("command -v " + name + " >/dev/null", 10).code == 0;
}

const std::string kBinaryDir = buildTreePath("");
const std::string kSourceDir = sourceTreePath("");

// The files every installation carries, relative to the prefix.
const char* const kInstalledFiles[] = {
    "bin/telvgate",          "bin/telvgate-fakecam",          "bin/telvgate-ptzctl",
    "bin/telvgate-export",   "lib/telvgate/libfalcon.so", "share/man/man1/telvgate.1.gz",
    "share/man/man1/telvgate-export.1.gz",
    "lib/systemd/system/telvgate.service"};

TEST(InstallLayout, InstallsProgramsLibraryAndManPageUnderThePrefix) {
  TempDir prefix;
  const ShellRun install =
      runShell("cmake --install " + kBinaryDir + " --prefix " + prefix.path(), 120);
  ASSERT_EQ(install.code, 0) << install.output;
  for (const char* f : kInstalledFiles)
    EXPECT_FALSE(readFile(prefix.file(f)).empty()) << f << " missing";
  // The simulator must not sit beside the program: the loader would take it before a real
  // board library.
  EXPECT_TRUE(readFile(prefix.file("bin/libfalcon.so")).empty());
  // The unit names the program where this prefix put it.
  const std::string unit = readFile(prefix.file("lib/systemd/system/telvgate.service"));
  EXPECT_NE(unit.find("/bin/telvgate --headless"), std::string::npos) << unit;
  if (haveTool("man")) {
    const ShellRun man = runShell("MANWIDTH=80 man -l " + prefix.file("share/man/man1/telvgate.1.gz") +
                                 " | grep -c TELVGATE_FALCON_LIB",
                             30);
    EXPECT_EQ(man.code, 0) << man.output;
  }
}

TEST(ServiceUnit, PassesSystemdVerification) {
  if (!haveTool("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  std::string unit = readFile(kBinaryDir + "/telvgate.service");
  ASSERT_FALSE(unit.empty());
  // Verification checks that the program exists: point it at the one built here.
  const std::string key = "ExecStart=";
  const size_t at = unit.find(key);
  ASSERT_NE(at, std::string::npos);
  const size_t end = unit.find(' ', at);
  unit.replace(at + key.size(), end - at - key.size(), builtProgram("telvgate"));
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("telvgate.service"), unit));
  const ShellRun verify =
      runShell("systemd-analyze verify --man=no " + dir.file("telvgate.service"), 60);
  EXPECT_EQ(verify.code, 0) << verify.output;
  EXPECT_EQ(verify.output, "");
}

TEST(DebianPackage, BuildsWithItsFilesAndFieldsAndItsProgramRuns) {
  // scripts/install-deps.sh installs the tools: without them the package is never checked.
  for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps"})
    ASSERT_TRUE(haveTool(tool)) << tool << " is not installed: run scripts/install-deps.sh";
  const std::string buildDir = kBinaryDir + "/deb-test";
  // A release build of its own. scripts/test.sh builds it before the suite, so here it is up
  // to date in seconds; a first build from nothing takes minutes and would not fit.
  const ShellRun build = runShell("bash " + kSourceDir + "/scripts/package.sh " + buildDir, 280);
  ASSERT_NE(build.code, 124) << "building the package took longer than 280 s: build it first "
                                "with scripts/package.sh " << buildDir << " (scripts/test.sh does)";
  ASSERT_EQ(build.code, 0) << build.output;
  std::string deb = build.output.substr(build.output.rfind('/', build.output.size() - 2) + 1);
  while (!deb.empty() && deb.back() == '\n') deb.pop_back();
  EXPECT_EQ(deb, "telvgate_1.3.4.7_amd64.deb");
  deb = buildDir + "/" + deb;

  const ShellRun fields = runShell("dpkg-deb -f " + deb + " Package Version Architecture Depends", 30);
  ASSERT_EQ(fields.code, 0) << fields.output;
  EXPECT_NE(fields.output.find("Package: telvgate\n"), std::string::npos) << fields.output;
  EXPECT_NE(fields.output.find("Version: 1.3.4.7\n"), std::string::npos) << fields.output;
  // Found from what the programs link, not written by hand; adduser for the maintainer scripts.
  for (const char* dep : {"libfox-1.6-0", "libc6", "libstdc++6", "adduser", "libavformat", "libzip"})
    EXPECT_NE(fields.output.find(dep), std::string::npos) << dep << " in " << fields.output;

  const ShellRun list = runShell("dpkg-deb -c " + deb, 30);
  ASSERT_EQ(list.code, 0) << list.output;
  for (const char* f : kInstalledFiles)
    EXPECT_NE(list.output.find(std::string("./usr/") + f + "\n"), std::string::npos) << f;
  EXPECT_NE(list.output.find("./etc/default/telvgate\n"), std::string::npos);
  size_t lines = 0, rootOwned = 0;
  for (size_t pos = 0; pos < list.output.size(); pos = list.output.find('\n', pos) + 1) {
    ++lines;
    if (list.output.compare(list.output.find(' ', pos) + 1, 10, "root/root ") == 0) ++rootOwned;
    if (list.output.find('\n', pos) == std::string::npos) break;
  }
  EXPECT_EQ(rootOwned, lines) << "every file belongs to root";

  TempDir root;
  ASSERT_EQ(runShell("dpkg-deb -x " + deb + " " + root.path(), 60).code, 0);
  const ShellRun version = runShell(root.file("usr/bin/telvgate") + " --version", 30);
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.output, "TelvGate 1.3.4.7\n");

  // The maintainer scripts are in the package and are valid shell.
  TempDir control;
  ASSERT_EQ(runShell("dpkg-deb -e " + deb + " " + control.path(), 30).code, 0);
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    const ShellRun parse = runShell("sh -n " + control.file(script), 10);
    EXPECT_EQ(parse.code, 0) << script << ": " << parse.output;
  }
  EXPECT_NE(readFile(control.file("conffiles")).find("/etc/default/telvgate"), std::string::npos);

  if (haveTool("lintian")) {
    const ShellRun lint = runShell("lintian " + deb + " 2>&1 | grep \"^E:\" || true", 60);
    EXPECT_EQ(lint.output, "") << "lintian errors";
  }
}

}  // namespace
