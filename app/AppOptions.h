#pragma once
// The command line of telvgate: options (arguments starting with "--") and the optional
// configuration server address and port. GUI thread, start-up only.
#include <string>
#include <vector>

struct AppOptions {
  bool headless = false;  // --headless: no window even when a display is available
  bool help = false;      // --help
  bool version = false;   // --version
  std::vector<std::string> unknown;  // other "--" options (reported, then ignored)
  std::vector<std::string> rest;     // every other argument, in order (argv[0] excluded)
};

// Splits argv[1..argc) into options and the rest.
AppOptions parseOptions(int argc, char** argv);

// The usage text printed by --help.
std::string usageText();

// Reads a port: decimal digits only, 0 to 65535. False for anything else ("80x", "", "-1").
bool parsePort(const std::string& text, unsigned short* port);

// With at least two arguments: a valid IPv4 address text is stored as "ConfIPAddr" in section
// "System" (an invalid one is dropped silently); a valid port as "ConfIPPort", else the
// Warning "Invalid IP address" is logged and the stored port stays. Further arguments and a
// single argument are ignored.
void applyCommandLineAddress(const std::vector<std::string>& args);
