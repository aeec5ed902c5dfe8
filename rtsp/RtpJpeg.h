#pragma once
// RTP payload format for JPEG (RFC 2435): a published picture read for what the format can
// carry, and cut into the payloads of its RTP packets.
//
// The format carries the entropy-coded data of a baseline, interleaved, three-component
// picture with 4:2:2 (type 0) or 4:2:0 (type 1) sampling, at most 2040 pixels each way; the
// quantisation tables travel in the first packet of every picture (Q = 255), and the receiver
// decodes with the standard Huffman tables of T.81 Annex K, which it assumes. A picture coded
// with other Huffman tables must therefore be re-coded first (JpegStdRecode); anything else
// (progressive, other sampling, larger) cannot be sent at all.
//
// Threads: pure functions over caller-owned bytes; any thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rtpjpeg {

constexpr int kMaxDimension = 2040;       // 255 units of 8 pixels
constexpr size_t kMaxPacketBytes = 1400;  // RTP header included: fits any Ethernet path
constexpr size_t kRtpHeaderBytes = 12;
constexpr size_t kMaxPayloadBytes = kMaxPacketBytes - kRtpHeaderBytes;
constexpr uint8_t kPayloadType = 26;      // JPEG, RFC 3551
constexpr uint32_t kClockRate = 90000;

struct Layout {
  enum Verdict { Sendable, OtherHuffmanTables, Unsupported } verdict = Unsupported;
  std::string why;            // Unsupported (and OtherHuffmanTables): what stands in the way
  int width = 0, height = 0;  // pixels, as in the frame header
  uint8_t type = 0;           // 0: 4:2:2, 1: 4:2:0
  uint16_t restartInterval = 0;
  uint8_t quant[2][64] = {};  // luminance, chrominance, in the order of the DQT segment
  const uint8_t* scan = nullptr;  // the entropy-coded data, up to (not including) the EOI
  size_t scanBytes = 0;
};

// Reads the segments of a JPEG file (anything before its start-of-image marker is not allowed,
// anything after its end-of-image marker is ignored). The layout points into data.
Layout analyse(const uint8_t* data, size_t size);

// One picture's RTP payloads back to back, shared by every viewer that sends it; each viewer
// adds only its own RTP headers.
struct Payloads {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> starts;  // payload i is bytes[starts[i] .. starts[i + 1])
  size_t count() const { return starts.empty() ? 0 : starts.size() - 1; }
  const uint8_t* payload(size_t i) const { return bytes.data() + starts[i]; }
  size_t payloadBytes(size_t i) const { return starts[i + 1] - starts[i]; }
};

// The payloads of a sendable layout (RFC 2435 main header, restart marker header when the
// picture has restart intervals, quantisation table header and tables in the first one), each
// at most maxPayload bytes. False when maxPayload leaves no room for data.
bool packetise(const Layout& layout, size_t maxPayload, Payloads* out);

// The payloads of a published picture: as it is when the format carries it, else re-coded to
// the standard Huffman tables first (JpegStdRecode). False with *why when it cannot be sent.
bool payloadsOf(const uint8_t* data, size_t size, Payloads* out, std::string* why);

// Writes the 12-byte RTP header: version 2, payload type 26, the marker bit on a picture's last
// packet.
void rtpHeader(uint8_t* out, bool marker, uint16_t seq, uint32_t timestamp, uint32_t ssrc);

}  // namespace rtpjpeg
