#include "falconsim/SimBoard.h"

#include <errno.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "falconsim/SimErrors.h"
#include "falconsim/TestPattern.h"
#include "falconsim/TestPicture.h"
#include "platform/FalconApi.h"

namespace falconsim {

namespace {

constexpr int kMaxSide = 4096;         // largest image memory side we hand out
constexpr int kMaxImageWidth = 768;    // largest image the scaler produces
constexpr int kMaxImageHeight = 576;
constexpr uint64_t kPalPeriodNs = 40000000;     // 25 frames per second
constexpr uint64_t kNtscPeriodNs = 33366667;    // 30000 / 1001 frames per second

uint64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void sleepUntil(uint64_t ns) {
  timespec ts;
  ts.tv_sec = time_t(ns / 1000000000ull);
  ts.tv_nsec = long(ns % 1000000000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// A capture that never returns: the caller's thread stays here with the board's lock.
[[noreturn]] void hangForever() {
  for (;;) sleepUntil(monotonicNs() + 3600000000000ull);
}

void putText(char* dst, size_t size, const char* text) {
  const size_t n = std::strlen(text);
  std::memcpy(dst, text, n < size - 1 ? n : size - 1);
}

// A black or blue screen with a little noise that differs from frame to frame.
void drawPlainScreen(uint32_t* px, int width, int height, bool blue, uint32_t frame) {
  uint32_t seed = frame * 2654435761u + 1u;
  for (size_t i = 0, n = size_t(width) * size_t(height); i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    const uint8_t noise = uint8_t((seed >> 16) % 5);
    px[i] = blue ? bgrx(noise, noise, uint8_t(170 + noise)) : bgrx(uint8_t(12 + noise),
                                                                 uint8_t(12 + noise),
                                                                 uint8_t(12 + noise));
  }
}

}  // namespace

SimBoard::SimBoard(unsigned handle, int inputs)
    : m_handle(handle), m_inputs(inputs), m_openNs(monotonicNs()) {}

int SimBoard::fail(int code, const std::string& text) {
  m_errorCode = code;
  m_errorText = text;
  return code;
}

int SimBoard::fullWidth() const { return m_standard == FALCON_VIDEO_NTSC ? 640 : 768; }
int SimBoard::fullHeight() const { return m_standard == FALCON_VIDEO_NTSC ? 480 : 576; }
uint64_t SimBoard::framePeriodNs() const {
  return m_standard == FALCON_VIDEO_NTSC ? kNtscPeriodNs : kPalPeriodNs;
}

// 48 bytes: serial number (12), board name (20), driver version (10), reserved (6); each text
// zero-terminated within its field.
int SimBoard::getBoardInfo(void* info) {
  if (!info) return fail(kInvalidParameter, "no board information record given");
  char* p = static_cast<char*>(info);
  std::memset(p, 0, FALCON_BOARDINFO_SIZE);
  char serial[16];
  std::snprintf(serial, sizeof serial, "SIM%08u", m_handle % 100000000u);
  putText(p, 12, serial);
  putText(p + 12, 20, "TelvGate SimGrabber");
  putText(p + 32, 10, "1.0.0");
  return 0;
}

int SimBoard::setColorMode(int mode) {
  if (mode != FALCON_COLOR_BGRX32)
    return fail(kNotSupported, "colour mode " + std::to_string(mode) +
                                   " not supported (only 0, 32-bit BGRX)");
  return 0;
}

int SimBoard::setDisplayMode(int mode) {
  if (mode != FALCON_DISPLAY_DIB)
    return fail(kNotSupported, "display mode " + std::to_string(mode) +
                                   " not supported (only 1, images into memory)");
  return 0;
}

int SimBoard::setVideoMode(int standard) {
  if (standard != FALCON_VIDEO_PAL && standard != FALCON_VIDEO_NTSC &&
      standard != FALCON_VIDEO_SECAM)
    return fail(kInvalidParameter, "invalid video standard " + std::to_string(standard));
  m_standard = standard;
  return 0;
}

int SimBoard::setCaptureMode(int mode) {
  if (mode != FALCON_CAPTURE_FRAME && mode != FALCON_CAPTURE_FIELD)
    return fail(kInvalidParameter, "invalid capture mode " + std::to_string(mode));
  m_window.field = mode == FALCON_CAPTURE_FIELD;
  return 0;
}

int SimBoard::allocImageMem(int width, int height, int bits, char** mem, int* id) {
  if (!mem || !id) return fail(kInvalidParameter, "no place given for the memory and its id");
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
    return fail(kInvalidParameter, "invalid image memory size " + std::to_string(width) + "x" +
                                       std::to_string(height));
  if (bits != 32)
    return fail(kNotSupported, std::to_string(bits) + " bits per pixel not supported (only 32)");
  std::unique_ptr<char[]> data(new (std::nothrow) char[size_t(width) * size_t(height) * 4]());
  if (!data) return fail(kOutOfMemory, "out of memory");
  *mem = data.get();
  *id = m_nextId++;
  m_memories.push_back(Memory{*id, width, height, std::move(data)});
  return 0;
}

SimBoard::Memory* SimBoard::findMemory(char* mem, int id) {
  for (Memory& m : m_memories)
    if (m.id == id) return m.data.get() == mem ? &m : nullptr;
  return nullptr;
}

int SimBoard::freeImageMem(char* mem, int id) {
  if (!findMemory(mem, id))
    return fail(kInvalidMemory, "image memory " + std::to_string(id) + " unknown to the board");
  if (m_activeId == id) m_activeId = 0;
  for (auto it = m_memories.begin(); it != m_memories.end(); ++it)
    if (it->id == id) {
      m_memories.erase(it);
      break;
    }
  return 0;
}

int SimBoard::setImageMem(char* mem, int id) {
  if (!findMemory(mem, id))
    return fail(kInvalidMemory, "image memory " + std::to_string(id) + " unknown to the board");
  m_activeId = id;
  return 0;
}

int SimBoard::setImagePos(int x, int y) {
  if (x < 0 || y < 0 || x >= fullWidth() || y >= fullHeight())
    return fail(kInvalidParameter, "invalid image position " + std::to_string(x) + "," +
                                       std::to_string(y));
  m_window.x = x;
  m_window.y = y;
  return 0;
}

int SimBoard::setImageSize(int width, int height) {
  if (width < 1 || height < 1 || width > kMaxImageWidth || height > kMaxImageHeight)
    return fail(kInvalidParameter, "invalid image size " + std::to_string(width) + "x" +
                                       std::to_string(height));
  m_window.width = width;
  m_window.height = height;
  return 0;
}

int SimBoard::setScaler(float xFactor, float yFactor) {
  if (!(xFactor >= 0.0f && xFactor <= 1.0f) || !(yFactor >= 0.0f && yFactor <= 1.0f))
    return fail(kInvalidParameter, "invalid scaler factors (0 or up to 1)");
  m_window.xFactor = xFactor;
  m_window.yFactor = yFactor;
  return 0;
}

int SimBoard::setVideoInput(int input) {
  if (input < 0 || input >= m_inputs)
    return fail(kInvalidParameter, "invalid video input " + std::to_string(input));
  m_input = input;
  return 0;
}

int SimBoard::freezeVideo(int wait, Hang hang, Fault fault) {
  if (wait < 0 || (wait > FALCON_WAIT && wait < FALCON_WAIT_10MS_MIN) ||
      wait > FALCON_WAIT_10MS_MAX)
    return fail(kInvalidParameter, "invalid wait " + std::to_string(wait));
  if (m_activeId == 0) return fail(kNoImageMemory, "no image memory set");
  Memory* mem = nullptr;
  for (Memory& m : m_memories)
    if (m.id == m_activeId) mem = &m;
  if (!mem) return fail(kNoImageMemory, "no image memory set");
  const int fw = fullWidth(), fh = fullHeight();
  std::string why;
  if (!m_window.fits(fw, fh, &why)) return fail(kInvalidWindow, why);
  if (m_window.width > mem->width || m_window.height > mem->height)
    return fail(kInvalidWindow, "image " + std::to_string(m_window.width) + "x" +
                                    std::to_string(m_window.height) + " exceeds the memory " +
                                    std::to_string(mem->width) + "x" +
                                    std::to_string(mem->height));
  if (hang == Hang::Stuck) hangForever();
  const uint64_t now = monotonicNs();
  const uint64_t bound = wait > FALCON_WAIT ? now + uint64_t(wait) * 10000000ull : UINT64_MAX;
  if (hang == Hang::NoSignal) {
    if (bound == UINT64_MAX) hangForever();
    sleepUntil(bound);
    return fail(kNoSignal, "no video signal on input " + std::to_string(m_input));
  }
  const uint64_t period = framePeriodNs();
  uint64_t index = now / period;
  if (wait) {
    ++index;  // the next boundary, never the one we may be sitting on
    if (index * period > bound) {
      sleepUntil(bound);
      return fail(kNoSignal, "no image within " + std::to_string(wait * 10) + " ms");
    }
    sleepUntil(index * period);
  }
  const uint32_t frame = uint32_t(index - m_openNs / period) & pattern::kFrameMask;
  m_frame.resize(size_t(fw) * size_t(fh));
  if (fault == Fault::Black || fault == Fault::Blue)
    drawPlainScreen(m_frame.data(), fw, fh, fault == Fault::Blue, frame);
  else
    drawTestPicture(m_frame.data(), fw, fh, m_handle, m_input, fault == Fault::Frozen ? 0 : frame);
  copyWindow(m_frame.data(), fw, fh, m_window, reinterpret_cast<uint8_t*>(mem->data.get()),
             mem->width * 4);
  return 0;
}

int SimBoard::copyImageMem(char* mem, int id, char* dest) {
  const Memory* m = findMemory(mem, id);
  if (!m) return fail(kInvalidMemory, "image memory " + std::to_string(id) + " unknown to the board");
  if (!dest) return fail(kInvalidParameter, "no destination given");
  std::memcpy(dest, m->data.get(), size_t(m->width) * size_t(m->height) * 4);
  return 0;
}

int SimBoard::boardStatus(int what, unsigned long) {
  if (what < 0) return fail(kInvalidParameter, "invalid status query " + std::to_string(what));
  return 0;
}

}  // namespace falconsim
