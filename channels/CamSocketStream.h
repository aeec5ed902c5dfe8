#pragma once
// The byte stream of a camera connection, for the camera stream reader.
//
// Threads: one thread at a time (the channel's own).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channels/CamByteStream.h"

class CSocket;

// The camera connection as a byte stream: bytes already buffered by the socket (the stream's
// start, read with the response head) come first; the rest is received straight from the
// kernel with the socket's time-outs (no poll before a receive).
class CamSocketStream : public CamByteStream {
 public:
  explicit CamSocketStream(CSocket& sock) : m_sock(sock) {}
  // A new connection: nothing put back, no patience.
  void reset();
  // The next wait for a first byte that times out waits once more, for up to ms.
  void setPatience(int ms) { m_patienceMs = ms; }

  size_t ready() override;
  size_t look(uint8_t* out, size_t n, int timeoutMs) override;
  size_t takeSome(uint8_t* out, size_t n, int timeoutMs) override;
  size_t take(uint8_t* out, size_t n, int timeoutMs) override;
  void putBack(const uint8_t* p, size_t n) override;
  bool ended() const override { return m_ended; }
  std::string failure() const override;

 private:
  size_t fromBack(uint8_t* out, size_t n, bool consume);
  size_t fromSocketBuffer(uint8_t* out, size_t n, bool consume);
  // One kernel receive (or look) with the patience applied when nothing came yet; as peekQueued.
  int receive(uint8_t* out, size_t n, int timeoutMs, bool peek, bool first);

  CSocket& m_sock;
  std::vector<uint8_t> m_back;  // bytes put back, from m_backPos on
  size_t m_backPos = 0;
  int m_patienceMs = 0;
  int m_err = 0;
  bool m_ended = false;
};
