// Entry point (interim): loads the settings, opens the log and runs until SIGINT/SIGTERM.
#include <csignal>
#include <string>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/Tables.h"

int main(int argc, char** argv) {
  g_settings.load();
  g_logFile.init();
  g_logFile.log(CLogFile::Info, "system", std::string("TelvGate ") + kTelvGateVersion + " started.",
                "main");
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int sig = 0;
  sigwait(&set, &sig);
  g_logFile.log(CLogFile::Info, "system",
                std::string("TelvGate ") + kTelvGateVersion + " terminated.", "main");
  return 0;
}
