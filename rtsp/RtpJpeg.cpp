#include "rtsp/RtpJpeg.h"

#include <cstring>

#include "platform/ByteOrder.h"
#include "rtsp/JpegStdRecode.h"

namespace rtpjpeg {

namespace {

// JPEG markers (T.81 Table B.1) that the reading below tells apart.
constexpr uint8_t kSOI = 0xD8, kEOI = 0xD9, kSOS = 0xDA, kDQT = 0xDB, kDHT = 0xC4, kDRI = 0xDD;
constexpr uint8_t kSOF0 = 0xC0, kSOF1 = 0xC1, kSOF2 = 0xC2, kTEM = 0x01;
constexpr size_t kMainHeaderBytes = 8, kRestartHeaderBytes = 4, kQuantHeaderBytes = 4;
constexpr uint8_t kDynamicQ = 255;  // tables in-band, in every picture
constexpr uint8_t kRestartTypeBit = 64;

struct Component {
  uint8_t id = 0, h = 0, v = 0, tq = 0, td = 0, ta = 0;
};

// One Huffman table as its segment holds it: 16 code-length counts and the symbols.
struct HuffTable {
  bool defined = false;
  uint8_t bits[16] = {};
  uint8_t vals[256] = {};
  size_t count = 0;
};

Layout unsupported(const char* why) {
  Layout l;
  l.why = why;
  return l;
}

bool isRst(uint8_t m) { return m >= 0xD0 && m <= 0xD7; }

// The end of the entropy-coded data that starts at p: the offset of the first marker that is
// neither a stuffed zero nor a restart marker; n when there is none.
size_t scanEnd(const uint8_t* d, size_t p, size_t n) {
  while (p < n) {
    const void* ff = std::memchr(d + p, 0xFF, n - p);
    if (!ff) return n;
    p = static_cast<size_t>(static_cast<const uint8_t*>(ff) - d);
    if (p + 1 >= n) return n;
    const uint8_t m = d[p + 1];
    if (m == 0x00 || isRst(m)) {
      p += 2;
    } else if (m == 0xFF) {
      ++p;  // fill byte before a marker
    } else {
      return p;
    }
  }
  return n;
}

}  // namespace

Layout analyse(const uint8_t* d, size_t n) {
  if (n < 4 || d[0] != 0xFF || d[1] != kSOI) return unsupported("no JPEG start-of-image marker");
  uint8_t quant[4][64] = {};
  bool quantDefined[4] = {}, quant16[4] = {};
  HuffTable huff[2][4];  // [class: DC, AC][id]
  Component comp[3];
  bool haveFrame = false;
  uint16_t restart = 0;
  Layout l;
  size_t p = 2;
  for (;;) {
    while (p < n && d[p] == 0xFF && p + 1 < n && d[p + 1] == 0xFF) ++p;  // fill bytes
    if (p + 4 > n || d[p] != 0xFF) return unsupported("truncated or malformed marker segments");
    const uint8_t m = d[p + 1];
    if (m == kTEM || isRst(m) || m == kSOI) {
      p += 2;
      continue;
    }
    if (m == kEOI) return unsupported("no scan");
    const size_t len = getBE16(d + p + 2);
    if (len < 2 || p + 2 + len > n) return unsupported("segment longer than the picture");
    const uint8_t* s = d + p + 4;
    const size_t sl = len - 2;
    p += 2 + len;

    if (m == kDQT) {
      for (size_t i = 0; i < sl;) {
        const uint8_t pq = s[i] >> 4, tq = s[i] & 15;
        const size_t bytes = pq ? 128 : 64;
        if (tq > 3 || pq > 1 || i + 1 + bytes > sl) return unsupported("malformed quantisation table");
        quantDefined[tq] = true;
        quant16[tq] = pq != 0;
        if (!pq) std::memcpy(quant[tq], s + i + 1, 64);
        i += 1 + bytes;
      }
    } else if (m == kDHT) {
      for (size_t i = 0; i < sl;) {
        if (i + 17 > sl) return unsupported("malformed Huffman table");
        const uint8_t tc = s[i] >> 4, th = s[i] & 15;
        size_t count = 0;
        for (int k = 0; k < 16; ++k) count += s[i + 1 + k];
        if (tc > 1 || th > 3 || count > 256 || i + 17 + count > sl) return unsupported("malformed Huffman table");
        HuffTable& t = huff[tc][th];
        t.defined = true;
        std::memcpy(t.bits, s + i + 1, 16);
        std::memcpy(t.vals, s + i + 17, count);
        t.count = count;
        i += 17 + count;
      }
    } else if (m == kDRI) {
      if (sl < 2) return unsupported("malformed restart interval");
      restart = getBE16(s);
    } else if (m >= 0xC0 && m <= 0xCF && m != kDHT && m != 0xC8 && m != 0xCC) {
      if (haveFrame) return unsupported("two frame headers");
      if (m == kSOF2) return unsupported("progressive JPEG");
      if (m != kSOF0 && m != kSOF1) return unsupported("not a sequential Huffman-coded JPEG");
      if (sl < 6 || s[0] != 8) return unsupported("not 8-bit samples");
      l.height = getBE16(s + 1);
      l.width = getBE16(s + 3);
      if (s[5] != 3 || sl < 6 + 3 * 3) return unsupported("not three colour components");
      for (int c = 0; c < 3; ++c) {
        comp[c].id = s[6 + 3 * c];
        comp[c].h = s[7 + 3 * c] >> 4;
        comp[c].v = s[7 + 3 * c] & 15;
        comp[c].tq = s[8 + 3 * c] & 3;
      }
      haveFrame = true;
    } else if (m == kSOS) {
      if (!haveFrame) return unsupported("scan before the frame header");
      if (sl < 1 || s[0] != 3 || sl < 1 + 3 * 2 + 3) return unsupported("scan of not all three components");
      for (int c = 0; c < 3; ++c) {
        if (s[1 + 2 * c] != comp[c].id) return unsupported("scan components out of frame order");
        comp[c].td = s[2 + 2 * c] >> 4;
        comp[c].ta = s[2 + 2 * c] & 15;
      }
      if (s[7] != 0 || s[8] != 63 || s[9] != 0) return unsupported("not a full sequential scan");
      const size_t end = scanEnd(d, p, n);
      if (end + 1 >= n || d[end + 1] != kEOI) return unsupported("more than one scan, or no end-of-image marker");
      l.scan = d + p;
      l.scanBytes = end - p;
      break;
    }
  }

  if (l.width <= 0 || l.height <= 0) return unsupported("picture without a size");
  if (l.width > kMaxDimension || l.height > kMaxDimension) return unsupported("larger than 2040 pixels");
  if (comp[1].h != 1 || comp[1].v != 1 || comp[2].h != 1 || comp[2].v != 1 || comp[0].h != 2 ||
      (comp[0].v != 1 && comp[0].v != 2))
    return unsupported("neither 4:2:0 nor 4:2:2 sampling");
  l.type = comp[0].v == 2 ? 1 : 0;
  if (comp[1].tq != comp[2].tq) return unsupported("colour components with different quantisation tables");
  for (int c = 0; c < 2; ++c) {
    if (!quantDefined[comp[c].tq]) return unsupported("quantisation table missing");
    if (quant16[comp[c].tq]) return unsupported("16-bit quantisation tables");
    std::memcpy(l.quant[c], quant[comp[c].tq], 64);
  }
  l.restartInterval = restart;

  // The receiver decodes luminance and both colour components with the standard tables of
  // their kind; a table the picture does not define is the standard one by convention (motion
  // JPEG cameras leave them out).
  l.verdict = Layout::Sendable;
  if (comp[1].td != comp[2].td || comp[1].ta != comp[2].ta) {
    l.verdict = Layout::OtherHuffmanTables;
    l.why = "colour components with different Huffman tables";
    return l;
  }
  for (int c = 0; c < 2; ++c) {
    for (int cls = 0; cls < 2; ++cls) {
      const uint8_t id = cls == 0 ? comp[c].td : comp[c].ta;
      if (id > 3) return unsupported("Huffman table selector out of range");
      const HuffTable& t = huff[cls][id];
      if (t.defined && !jpegstd::isStandardTable(cls == 1, c == 1, t.bits, t.vals, t.count)) {
        l.verdict = Layout::OtherHuffmanTables;
        l.why = "Huffman tables other than the standard ones";
      }
    }
  }
  return l;
}

bool packetise(const Layout& l, size_t maxPayload, Payloads* out) {
  const size_t fixed = kMainHeaderBytes + (l.restartInterval ? kRestartHeaderBytes : 0);
  const size_t tables = kQuantHeaderBytes + 128;
  if (maxPayload <= fixed + tables) return false;
  out->bytes.clear();
  out->starts.clear();
  out->bytes.reserve(l.scanBytes + (l.scanBytes / (maxPayload - fixed) + 2) * fixed + tables);
  const uint8_t width8 = static_cast<uint8_t>((l.width + 7) / 8), height8 = static_cast<uint8_t>((l.height + 7) / 8);
  size_t offset = 0;
  do {
    out->starts.push_back(static_cast<uint32_t>(out->bytes.size()));
    uint8_t head[kMainHeaderBytes + kRestartHeaderBytes + kQuantHeaderBytes];
    head[0] = 0;  // type-specific
    head[1] = static_cast<uint8_t>(offset >> 16);
    head[2] = static_cast<uint8_t>(offset >> 8);
    head[3] = static_cast<uint8_t>(offset);
    head[4] = static_cast<uint8_t>(l.type | (l.restartInterval ? kRestartTypeBit : 0));
    head[5] = kDynamicQ;
    head[6] = width8;
    head[7] = height8;
    size_t h = kMainHeaderBytes;
    if (l.restartInterval) {
      // Packets are not cut at restart boundaries: first and last bits set, count 0x3FFF,
      // which tells the receiver to decode the picture as a whole.
      putBE16(head + h, l.restartInterval);
      putBE16(head + h + 2, 0xFFFF);
      h += kRestartHeaderBytes;
    }
    size_t room = maxPayload - h;
    if (offset == 0) {
      head[h] = 0;      // MBZ
      head[h + 1] = 0;  // both tables of 8-bit precision
      putBE16(head + h + 2, 128);
      h += kQuantHeaderBytes;
      room -= tables;
    }
    out->bytes.insert(out->bytes.end(), head, head + h);
    if (offset == 0) {
      out->bytes.insert(out->bytes.end(), l.quant[0], l.quant[0] + 64);
      out->bytes.insert(out->bytes.end(), l.quant[1], l.quant[1] + 64);
    }
    const size_t take = l.scanBytes - offset < room ? l.scanBytes - offset : room;
    out->bytes.insert(out->bytes.end(), l.scan + offset, l.scan + offset + take);
    offset += take;
  } while (offset < l.scanBytes);
  out->starts.push_back(static_cast<uint32_t>(out->bytes.size()));
  return true;
}

bool payloadsOf(const uint8_t* data, size_t size, Payloads* out, std::string* why) {
  Layout layout = analyse(data, size);
  std::vector<uint8_t> recoded;
  if (layout.verdict == Layout::OtherHuffmanTables) {
    if (!jpegstd::recode(data, size, &recoded, why)) return false;
    layout = analyse(recoded.data(), recoded.size());
  }
  if (layout.verdict != Layout::Sendable) {
    *why = layout.why;
    return false;
  }
  return packetise(layout, kMaxPayloadBytes, out);
}

void rtpHeader(uint8_t* o, bool marker, uint16_t seq, uint32_t timestamp, uint32_t ssrc) {
  o[0] = 0x80;
  o[1] = static_cast<uint8_t>(kPayloadType | (marker ? 0x80 : 0));
  putBE16(o + 2, seq);
  putBE32(o + 4, timestamp);
  putBE32(o + 8, ssrc);
}

}  // namespace rtpjpeg
