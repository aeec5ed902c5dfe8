#pragma once
// Bit writer of the entropy-coded segment: codes are gathered most significant bit first in a
// 64-bit word and emitted 8 bytes at a time; every emitted 0xFF byte is followed by a stuffed
// 0x00. The writer never writes at or past its end pointer: when a byte would not fit it
// stops writing and reports overflow. One writer belongs to one encode call.
#include <cstdint>
#include <cstring>

namespace jpeg {

class JpegBitWriter {
 public:
  JpegBitWriter(uint8_t* out, uint8_t* end) : m_out(out), m_end(end) {}

  // Appends the low n bits of code (n 1..32, higher bits of code zero).
  inline void put(uint64_t code, int n) {
    if (n < m_free) {
      m_free -= n;
      m_acc |= code << m_free;
      return;
    }
    const int rest = n - m_free;
    emitWord(m_acc | (code >> rest));
    m_free = 64 - rest;
    m_acc = rest == 0 ? 0 : code << m_free;
  }

  // Pads the last byte with 1 bits and emits what is left. False when anything overflowed.
  bool finish() {
    int used = 64 - m_free;
    if (used % 8 != 0) {
      const int pad = 8 - used % 8;
      m_acc |= ((uint64_t(1) << pad) - 1) << (m_free - pad);
      used += pad;
    }
    for (int i = 0; i < used / 8; ++i) emitByte(uint8_t(m_acc >> (56 - 8 * i)));
    m_acc = 0;
    m_free = 64;
    return !m_overflow;
  }

  uint8_t* position() const { return m_out; }
  bool overflowed() const { return m_overflow; }

 private:
  inline void emitWord(uint64_t w) {
    // A byte is 0xFF exactly when the same byte of ~w is zero.
    const uint64_t inv = ~w;
    const bool hasFF = ((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) != 0;
    if (!hasFF && m_end - m_out >= 8) {
      const uint64_t be = __builtin_bswap64(w);
      std::memcpy(m_out, &be, 8);
      m_out += 8;
      return;
    }
    for (int i = 0; i < 8; ++i) emitByte(uint8_t(w >> (56 - 8 * i)));
  }

  inline void emitByte(uint8_t b) {
    if (m_overflow) return;
    if (m_out >= m_end) {
      m_overflow = true;
      return;
    }
    *m_out++ = b;
    if (b == 0xFF) {
      if (m_out >= m_end) {
        m_overflow = true;
        return;
      }
      *m_out++ = 0x00;
    }
  }

  uint8_t* m_out;
  uint8_t* m_end;
  uint64_t m_acc = 0;
  int m_free = 64;  // free bits at the low end of m_acc
  bool m_overflow = false;
};

}  // namespace jpeg
