#include "tests/support/ProgramHome.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>

#include "tests/support/Waiting.h"

ProgramHome::ProgramHome(const std::string& settings) {
  for (const char* dir : {"/.foxrc", "/.foxrc/TELVORA", "/foxdir"})
    EXPECT_EQ(mkdir((path() + dir).c_str(), 0755), 0) << path() << dir;
  writeSettings(settings);
}

void ProgramHome::writeSettings(const std::string& settings) {
  m_settings = "[System]\nLogFilePath=" + logPath() + "\n" + settings;
  EXPECT_TRUE(writeFile(settingsFile(), m_settings)) << settingsFile();
}

bool ProgramHome::start(ChildProcess& p, const std::vector<std::string>& args, const Env& env,
                        const std::vector<std::string>& wrapper) const {
  Env all = {{"HOME", path()},
             {"FOXDIR", file("foxdir")},
             {"TELVGATE_LOCK_DIR", path()},
             {"DISPLAY", kNoDisplay}};
  all.insert(all.end(), env.begin(), env.end());
  if (wrapper.empty()) return p.start(builtProgram("telvgate"), args, all, path());
  std::vector<std::string> wrapped(wrapper.begin() + 1, wrapper.end());
  wrapped.push_back(builtProgram("telvgate"));
  wrapped.insert(wrapped.end(), args.begin(), args.end());
  return p.start(wrapper.front(), wrapped, all, path());
}

std::string ProgramHome::settingsFile() const { return path() + "/.foxrc/TELVORA/TelvGate"; }

int announcedNumber(const ChildProcess& p, const std::string& marker, int timeoutMs) {
  int number = -1;
  waitFor(
      [&] {
        const std::string out = p.stdoutText();
        const size_t at = out.find(marker);
        if (at == std::string::npos) return false;
        const size_t digits = at + marker.size();
        size_t end = digits;
        while (end < out.size() && std::isdigit(static_cast<unsigned char>(out[end]))) ++end;
        if (end == digits || end == out.size()) return false;  // the number is not whole yet
        number = std::atoi(out.c_str() + digits);
        return true;
      },
      timeoutMs, 20);
  return number;
}

int confPort(const ChildProcess& p, int timeoutMs) {
  return announcedNumber(p, "TelvGate configuration pages: http://127.0.0.1:", timeoutMs);
}
