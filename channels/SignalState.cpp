#include "channels/SignalState.h"

#include <cstddef>
#include <vector>

const char* signalStateText(SignalState s) {
  switch (s) {
    case SignalState::Ok: return "ok";
    case SignalState::NoSignal: return "no signal";
    case SignalState::Frozen: return "frozen";
    case SignalState::Offline: return "offline";
  }
  return "unknown";
}

const char* signalChangeMessage(SignalState s) {
  switch (s) {
    case SignalState::Ok: return "Video signal back";
    case SignalState::NoSignal: return "Video signal lost";
    case SignalState::Frozen: return "Video picture frozen";
    case SignalState::Offline: return "Camera offline";
  }
  return "Video signal unknown";
}

PictureWatch::Measure PictureWatch::measure(const uint8_t* bgrx, int width, int height) {
  Measure m;
  const int bw = width / 8, bh = height / 8;
  if (!bgrx || bw <= 0 || bh <= 0) return m;
  // Per 8 x 8 block the sum of 16 samples of (B + 2G + R), so a mean brightness is sum / 64.
  std::vector<uint32_t> sums(size_t(bw) * size_t(bh), 0);
  const size_t stride = size_t(width) * 4;
  for (int by = 0; by < bh; ++by) {
    uint32_t* row = &sums[size_t(by) * size_t(bw)];
    for (int dy = 0; dy < 8; dy += 2) {
      const uint8_t* line = bgrx + size_t(by * 8 + dy) * stride;
      for (int bx = 0; bx < bw; ++bx) {
        const uint8_t* p = line + size_t(bx) * 32;
        row[bx] += uint32_t(p[0] + 2 * p[1] + p[2]) + uint32_t(p[8] + 2 * p[9] + p[10]) +
                   uint32_t(p[16] + 2 * p[17] + p[18]) + uint32_t(p[24] + 2 * p[25] + p[26]);
      }
    }
  }
  uint32_t histogram[256] = {};
  uint64_t hash = 14695981039346656037ull;  // FNV-1a over the sums
  for (uint32_t s : sums) {
    ++histogram[s / 64];
    for (int i = 0; i < 2; ++i) {
      hash = (hash ^ ((s >> (8 * i)) & 0xFF)) * 1099511628211ull;
    }
  }
  // The most blocks in any window of 2 * kUniformSpread + 1 brightness values.
  uint32_t window = 0, best = 0;
  for (int v = 0; v < 256; ++v) {
    window += histogram[v];
    if (v >= 2 * kUniformSpread + 1) window -= histogram[v - 2 * kUniformSpread - 1];
    if (window > best) best = window;
  }
  m.uniform = best >= kUniformShare * double(sums.size());
  m.signature = hash;
  return m;
}

SignalState PictureWatch::note(const uint8_t* bgrx, int width, int height, uint64_t nowNs) {
  const Measure m = measure(bgrx, width, height);
  if (!m.uniform)
    m_uniformSinceNs = 0;
  else if (m_uniformSinceNs == 0)
    m_uniformSinceNs = nowNs;
  if (!m_seen || m.signature != m_signature) {
    m_signature = m.signature;
    m_sameSinceNs = nowNs;
  }
  m_seen = true;
  // A black screen that also stands still is a lost signal rather than a frozen source.
  if (m_uniformSinceNs != 0 && nowNs - m_uniformSinceNs >= kNoSignalNs) return SignalState::NoSignal;
  if (nowNs - m_sameSinceNs >= kFrozenNs) return SignalState::Frozen;
  return SignalState::Ok;
}
