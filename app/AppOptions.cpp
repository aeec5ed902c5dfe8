#include "app/AppOptions.h"

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/TextHelpers.h"

AppOptions parseOptions(int argc, char** argv) {
  AppOptions opts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] ? argv[i] : "";
    if (arg.compare(0, 2, "--") != 0) {
      opts.rest.push_back(arg);
    } else if (arg == "--headless") {
      opts.headless = true;
    } else if (arg == "--help") {
      opts.help = true;
    } else if (arg == "--version") {
      opts.version = true;
    } else if (arg != "--") {
      opts.unknown.push_back(arg);
    }
  }
  return opts;
}

std::string usageText() {
  return "Usage: telvgate [--headless] [--help] [--version] [ADDRESS PORT]\n"
         "\n"
         "Video gateway and event recorder.\n"
         "\n"
         "  ADDRESS PORT  IPv4 address and TCP port of the configuration web server; stored in\n"
         "                the settings (section System) before the server starts\n"
         "  --headless    run without a window (also chosen when no X display can be opened);\n"
         "                end with SIGINT or SIGTERM\n"
         "  --help        show this text and exit\n"
         "  --version     show the version and exit\n"
         "\n"
         "Environment: TELVGATE_LOCK_DIR (folder of the single-instance lock file),\n"
         "TELVGATE_URL_OPENER (program that opens the configuration pages; default xdg-open).\n";
}

bool parsePort(const std::string& text, unsigned short* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value > 65535) return false;
  *port = static_cast<unsigned short>(value);
  return true;
}

void applyCommandLineAddress(const std::vector<std::string>& args) {
  if (args.size() < 2) return;
  if (is_valid_ip(args[0])) g_settings.writeString("System", "ConfIPAddr", args[0]);
  unsigned short port = 0;
  if (parsePort(args[1], &port)) {
    g_settings.writeInt("System", "ConfIPPort", port);
  } else {
    g_logFile.log(CLogFile::Warning, "System", "Invalid IP address", "main");
  }
}
