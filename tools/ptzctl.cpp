// ptzctl: steers a pan/tilt head through a channel endpoint's "/control/rotorcgi", for
// installers checking their wiring. It sends the request, checks the answer, sends one command
// frame (or one per line read from standard input) and keeps the connection open for a while:
// the gateway stops the head as soon as the connection ends.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "base/CSocket.h"
#include "pantilt/RotorFrame.h"
#include "platform/Clock.h"

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kHeadTimeoutSec = 5;
constexpr int kRefusalWaitMs = 300;  // the gateway closes at once when it cannot steer the head

void usage(FILE* out) {
  std::fputs(
      "usage: ptzctl [--hold SECONDS] [--raw] HOST:PORT COMMAND [ARGUMENTS]\n"
      "       ptzctl [--raw] HOST:PORT -      (one command per line from standard input)\n"
      "\n"
      "Connects to http://HOST:PORT/control/rotorcgi of a channel endpoint and sends commands:\n"
      "  move PAN TILT     pan and tilt speeds, -100..100 percent (sign = direction, 0 = halt)\n"
      "  zoom V            zoom drive, -100..100 percent\n"
      "  focus V           focus drive, -100..100 percent\n"
      "  iris V            iris drive, -100..100 percent\n"
      "  preset set N      store the current position as preset N\n"
      "  preset goto N     move to preset N\n"
      "  stop              stop every drive\n"
      "\n"
      "Options:\n"
      "  --hold SECONDS    keep the connection open this long after the command (default 1);\n"
      "                    the gateway stops the head when the connection closes\n"
      "  --raw             speeds are raw signed 32-bit values instead of percent\n"
      "  --help            this text\n"
      "\n"
      "Examples:\n"
      "  ptzctl 192.168.1.20:8080 move 50 0        pan right at half speed for a second\n"
      "  ptzctl --hold 5 192.168.1.20:8080 zoom -100\n"
      "  ptzctl 192.168.1.20:8080 preset goto 3\n",
      out);
}

bool parseNumber(const std::string& text, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return false;
  *out = v;
  return true;
}

// A speed argument: percent of full scale, or with raw a signed 32-bit value.
bool parseSpeed(const std::string& text, bool raw, int32_t* out, std::string* err) {
  long long v;
  if (!parseNumber(text, &v)) {
    *err = "'" + text + "' is not a whole number";
    return false;
  }
  if (raw) {
    if (v < INT32_MIN || v > INT32_MAX) {
      *err = "'" + text + "' is outside the signed 32-bit range";
      return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
  }
  if (v < -100 || v > 100) {
    *err = "'" + text + "' is outside -100..100 percent";
    return false;
  }
  *out = static_cast<int32_t>(std::llround(static_cast<double>(v) * INT32_MAX / 100.0));
  return true;
}

// One command line ("move 50 0") to a frame's command; false with *err set when malformed.
bool parseCommand(const std::vector<std::string>& w, bool raw, RotorCommand* cmd,
                  std::string* err) {
  auto want = [&](size_t n) {
    if (w.size() == n) return true;
    *err = "'" + w[0] + "' takes " + std::to_string(n - 1) + " argument(s)";
    return false;
  };
  if (w.empty()) {
    *err = "no command given";
    return false;
  }
  const std::string& c = w[0];
  if (c == "move") {
    cmd->code = kCmdMove;
    return want(3) && parseSpeed(w[1], raw, &cmd->first, err) &&
           parseSpeed(w[2], raw, &cmd->second, err);
  }
  if (c == "zoom" || c == "focus" || c == "iris") {
    cmd->code = c == "zoom" ? kCmdZoom : c == "focus" ? kCmdFocus : kCmdIris;
    return want(2) && parseSpeed(w[1], raw, &cmd->first, err);
  }
  if (c == "preset") {
    if (!want(3)) return false;
    if (w[1] != "set" && w[1] != "goto") {
      *err = "preset takes 'set' or 'goto', not '" + w[1] + "'";
      return false;
    }
    cmd->code = w[1] == "set" ? kCmdSetPreset : kCmdGotoPreset;
    long long n;
    if (!parseNumber(w[2], &n) || n < 0 || n > 255) {
      *err = "preset number '" + w[2] + "' must be 0..255";
      return false;
    }
    cmd->first = static_cast<int32_t>(n);
    return true;
  }
  if (c == "stop") {
    cmd->code = kCmdStopAll;
    return want(1);
  }
  *err = "unknown command '" + c + "' (try --help)";
  return false;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

bool sendFrame(CSocket& sock, const RotorCommand& cmd) {
  uint8_t frame[RotorFrameMatcher::kFrameSize];
  encodeRotorFrame(cmd, frame);
  return sock.send(frame, sizeof frame) == static_cast<int>(sizeof frame);
}

// Connects and passes the response head; false with a message on stderr.
bool open(CSocket& sock, const std::string& host, const std::string& port) {
  sockaddr_in addr{};
  if (int r = resolve(host, port, &addr); r != 0) {
    std::fprintf(stderr, "ptzctl: cannot resolve %s:%s\n", host.c_str(), port.c_str());
    return false;
  }
  if (sock.create() != 0 || sock.connect(addr, kConnectTimeoutMs) != 0) {
    std::fprintf(stderr, "ptzctl: cannot connect to %s:%s: %s\n", host.c_str(), port.c_str(),
                 sock.errorText().c_str());
    return false;
  }
  const std::string request =
      "GET /control/rotorcgi HTTP/1.0\r\nHost: " + host + ":" + port + "\r\n\r\n";
  if (sock.send(request.data(), request.size()) != static_cast<int>(request.size())) {
    std::fprintf(stderr, "ptzctl: sending the request failed\n");
    return false;
  }
  std::string status, line;
  if (!sock.read_line(status, 1024, kHeadTimeoutSec)) {
    std::fprintf(stderr, "ptzctl: no answer from %s:%s\n", host.c_str(), port.c_str());
    return false;
  }
  while (sock.read_line(line, 4096, kHeadTimeoutSec) && !line.empty()) line.clear();
  if (status.find(" 200 ") == std::string::npos) {
    std::fprintf(stderr, "ptzctl: the endpoint answered '%s'\n", status.c_str());
    return false;
  }
  // The gateway closes right after the head when no head is configured or another viewer
  // holds its port.
  if (sock.waitReadable(kRefusalWaitMs)) {
    char c;
    if (sock.recv(&c, 1) <= 0) {
      std::fprintf(stderr,
                   "ptzctl: the gateway closed the connection: no pan/tilt head is configured "
                   "for this channel, its serial port cannot be opened, or another viewer is "
                   "steering it (see the gateway's log)\n");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double holdSec = 1.0;
  bool raw = false;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a == "--raw") {
      raw = true;
    } else if (a == "--hold") {
      char* end = nullptr;
      if (i + 1 >= argc || (holdSec = std::strtod(argv[i + 1], &end), *end != '\0') ||
          holdSec < 0 || holdSec > 3600) {
        std::fprintf(stderr, "ptzctl: --hold needs a number of seconds (0..3600)\n");
        return 1;
      }
      ++i;
    } else {
      rest.push_back(a);
    }
  }
  if (rest.size() < 2) {
    usage(stderr);
    return 1;
  }
  std::string target = rest[0];
  if (target.compare(0, 7, "http://") == 0) target = target.substr(7);
  if (const size_t slash = target.find('/'); slash != std::string::npos) target.resize(slash);
  const size_t colon = target.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == target.size()) {
    std::fprintf(stderr, "ptzctl: '%s' is not HOST:PORT\n", rest[0].c_str());
    return 1;
  }
  const std::string host = target.substr(0, colon), port = target.substr(colon + 1);
  const bool fromStdin = rest.size() == 2 && rest[1] == "-";

  RotorCommand cmd;
  std::string err;
  if (!fromStdin && !parseCommand(std::vector<std::string>(rest.begin() + 1, rest.end()), raw,
                                  &cmd, &err)) {
    std::fprintf(stderr, "ptzctl: %s\n", err.c_str());
    return 1;
  }

  CSocket sock;
  if (!open(sock, host, port)) return 2;

  if (fromStdin) {
    int bad = 0;
    for (std::string line; std::getline(std::cin, line);) {
      const std::vector<std::string> w = words(line);
      if (w.empty() || w[0][0] == '#') continue;
      RotorCommand c;
      if (!parseCommand(w, raw, &c, &err)) {
        std::fprintf(stderr, "ptzctl: %s\n", err.c_str());
        ++bad;
        continue;
      }
      if (!sendFrame(sock, c)) {
        std::fprintf(stderr, "ptzctl: the connection was lost\n");
        return 2;
      }
    }
    return bad ? 1 : 0;
  }

  if (!sendFrame(sock, cmd)) {
    std::fprintf(stderr, "ptzctl: the connection was lost\n");
    return 2;
  }
  platform::sleepNs(static_cast<uint64_t>(holdSec * 1e9));
  return 0;
}
