// fakecam: a fake IP camera for trying and testing the gateway without a real camera.
//
//   fakecam [--port N] [--family NAME] [--log FILE] [--misbehave MODE] [--fps F]
//           [--boundary-dashes] [--lower-length] [--no-length] [--zeros N] [--jpeg FILE]...
//
// Listens on 127.0.0.1 (port 0: the system chooses), prints "port N" on standard output once
// it listens, and serves until SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tools/FakeCam.h"

namespace {

volatile std::sig_atomic_t g_quit = 0;
void onSignal(int) { g_quit = 1; }

void usage() {
  std::fprintf(stderr,
               "usage: fakecam [--port N] [--family axis|lilin|asip|toshiba|sony|panasonic|"
               "vivotec|hikvision|grandstream]\n"
               "               [--log FILE] [--misbehave none|status500|refuse-first|no-boundary|"
               "no-type|lying-length|silence|drop|oversized|endless|garbage|bad-reason]\n"
               "               [--fps F] [--boundary-dashes] [--lower-length] [--no-length] "
               "[--zeros N] [--jpeg FILE]...\n");
}

}  // namespace

int main(int argc, char** argv) {
  fakecam::Options opt;
  long port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "fakecam: %s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--port") {
      port = std::strtol(value("--port"), nullptr, 10);
    } else if (a == "--family") {
      opt.family = value("--family");
    } else if (a == "--log") {
      opt.logPath = value("--log");
    } else if (a == "--misbehave") {
      const char* m = value("--misbehave");
      if (!fakecam::parseMisbehave(m, &opt.misbehave)) {
        std::fprintf(stderr, "fakecam: unknown misbehaviour '%s'\n", m);
        usage();
        return 2;
      }
    } else if (a == "--fps") {
      opt.fps = std::atof(value("--fps"));
    } else if (a == "--jpeg") {
      opt.jpegs.push_back(value("--jpeg"));
    } else if (a == "--boundary-dashes") {
      opt.boundaryWithDashes = true;
    } else if (a == "--lower-length") {
      opt.lowerCaseLength = true;
    } else if (a == "--no-length") {
      opt.noPartLength = true;
    } else if (a == "--zeros") {
      opt.trailingZeros = std::atoi(value("--zeros"));
    } else {
      usage();
      return 2;
    }
  }
  if (port < 0 || port > 65535) {
    std::fprintf(stderr, "fakecam: port out of range\n");
    return 2;
  }
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  std::signal(SIGPIPE, SIG_IGN);

  fakecam::Server server(opt);
  if (!server.start(static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "fakecam: cannot listen on 127.0.0.1:%ld: %s\n", port, std::strerror(errno));
    return 1;
  }
  std::printf("port %u\n", server.port());
  std::fflush(stdout);
  while (!g_quit) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.stop();
  return 0;
}
