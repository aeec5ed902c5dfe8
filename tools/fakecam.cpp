// fakecam: a fake IP camera for trying and testing the gateway without a real camera; --help
// tells what it does and checks.
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

const char kHelp[] =
    "usage: fakecam [options]\n"
    "\n"
    "A fake IP camera on 127.0.0.1. It prints \"port N\" once it listens and serves until SIGTERM\n"
    "or SIGINT. It answers as the chosen family's cameras do and checks what they check:\n"
    "  - the exact path and the required parameters of each of the family's requests; anything\n"
    "    else gets that family's error answer (Axis 400, Asip 400, Grandstream 200 with\n"
    "    \"Response=Error\", the others 404);\n"
    "  - a Host header in every request (400 without);\n"
    "  - with --user, Basic credentials in every request (401 without or with wrong ones).\n"
    "Replies spell their headers as the family does (Asip and Panasonic \"Content-type:\",\n"
    "Grandstream \"content-type:\"/\"content-length:\", Sony stream parts \"DataLen:\").\n"
    "\n"
    "  --port N            listen port (0: the system chooses; default 0)\n"
    "  --family NAME       axis lilin asip toshiba sony panasonic vivotec hikvision grandstream\n"
    "                      (default axis)\n"
    "  --rate F            the camera's own frame rate in pictures per second (default 25);\n"
    "                      frames a slow client cannot take are dropped\n"
    "  --fps F             the same as --rate\n"
    "  --pace MODE         own: stream at --rate whatever the request asks (default);\n"
    "                      asked: one picture per interval the stream request asks for, as the\n"
    "                      cameras do that are asked one (Lilin \"delay=\" in 10 ms, Toshiba's sixth\n"
    "                      query field in ms, Sony \"interval=\" in ms, Panasonic \"framerate=\"\n"
    "                      pictures/s), the other families at --rate;\n"
    "                      gapless: parts back to back, as fast as the connection takes them\n"
    "  --jitter F          every interval varies by up to the share F either way (0.3: 30 %)\n"
    "  --close-after-part  end the connection right after each streamed part\n"
    "  --good-parts N      with lying-length or garbage: N good parts first\n"
    "  --stamp             put \"fakecam frame=N capture_us=T\" in a JPEG comment of every streamed\n"
    "                      picture: a frame counter and the capture time in microseconds since 1970\n"
    "  --user U            require Basic credentials U and the --password\n"
    "  --password P\n"
    "  --log FILE          append every request head received to FILE\n"
    "  --misbehave MODE    none status500 refuse-first no-boundary no-type lying-length silence\n"
    "                      drop oversized endless garbage bad-reason reset bad-header\n"
    "  --boundary-dashes   send \"boundary=--myboundary\"\n"
    "  --lower-length      parts with \"Content-length:\"\n"
    "  --no-length         parts without a length (bare JPEG found by its markers)\n"
    "  --zeros N           N zero bytes behind each picture, inside the part's length\n"
    "  --jpeg FILE         a picture to serve (repeat for several, served in turn)\n"
    "  --help              this text\n";

void usage() { std::fputs(kHelp, stderr); }

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
      if (!fakecam::findFamily(opt.family)) {
        std::fprintf(stderr, "fakecam: unknown family '%s'\n", opt.family.c_str());
        usage();
        return 2;
      }
    } else if (a == "--log") {
      opt.logPath = value("--log");
    } else if (a == "--misbehave") {
      const char* m = value("--misbehave");
      if (!fakecam::parseMisbehave(m, &opt.misbehave)) {
        std::fprintf(stderr, "fakecam: unknown misbehaviour '%s'\n", m);
        usage();
        return 2;
      }
    } else if (a == "--fps" || a == "--rate") {
      opt.fps = std::atof(value(a.c_str()));
      if (!(opt.fps > 0)) {
        std::fprintf(stderr, "fakecam: %s needs a positive rate\n", a.c_str());
        return 2;
      }
    } else if (a == "--pace") {
      const char* m = value("--pace");
      if (!fakecam::parsePace(m, &opt.pace)) {
        std::fprintf(stderr, "fakecam: unknown pace '%s'\n", m);
        usage();
        return 2;
      }
    } else if (a == "--jitter") {
      opt.jitter = std::atof(value("--jitter"));
      if (!(opt.jitter >= 0 && opt.jitter < 1)) {
        std::fprintf(stderr, "fakecam: --jitter needs a share from 0 to below 1\n");
        return 2;
      }
    } else if (a == "--close-after-part") {
      opt.closeAfterPart = true;
    } else if (a == "--good-parts") {
      opt.goodParts = std::atoi(value("--good-parts"));
    } else if (a == "--stamp") {
      opt.stamp = true;
    } else if (a == "--user") {
      opt.user = value("--user");
    } else if (a == "--password") {
      opt.password = value("--password");
    } else if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
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
