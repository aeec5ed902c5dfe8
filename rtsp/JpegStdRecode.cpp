#include "rtsp/JpegStdRecode.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace jpegstd {

namespace {

struct Table {
  uint8_t bits[16];
  uint8_t vals[256];
  size_t count;
};

// libjpeg's errors end in a long jump back to the caller; warnings (damaged data it can read
// on) are counted, since a picture we would have to repair is not sent as if it were whole.
struct ErrorTrap {
  jpeg_error_mgr mgr;
  jmp_buf back;
  int warnings = 0;
  char text[JMSG_LENGTH_MAX] = {};
};

void onError(j_common_ptr c) {
  ErrorTrap* t = reinterpret_cast<ErrorTrap*>(c->err);
  (*c->err->format_message)(c, t->text);
  std::longjmp(t->back, 1);
}

void onMessage(j_common_ptr c, int level) {
  ErrorTrap* t = reinterpret_cast<ErrorTrap*>(c->err);
  if (level < 0 && t->warnings++ == 0) (*c->err->format_message)(c, t->text);
}

void trap(ErrorTrap* t) {
  jpeg_std_error(&t->mgr);
  t->mgr.error_exit = onError;
  t->mgr.emit_message = onMessage;
}

// The standard tables as libjpeg's own defaults hold them: [0] luminance, [1] colour.
struct Standard {
  Table dc[2], ac[2];
  Standard() {
    ErrorTrap err;
    trap(&err);
    jpeg_compress_struct c;
    c.err = &err.mgr;
    jpeg_create_compress(&c);
    c.in_color_space = JCS_YCbCr;
    c.input_components = 3;
    jpeg_set_defaults(&c);
    for (int i = 0; i < 2; ++i) {
      take(c.dc_huff_tbl_ptrs[i], &dc[i]);
      take(c.ac_huff_tbl_ptrs[i], &ac[i]);
    }
    jpeg_destroy_compress(&c);
  }
  static void take(const JHUFF_TBL* t, Table* out) {
    out->count = 0;
    for (int k = 0; k < 16; ++k) {
      out->bits[k] = t->bits[k + 1];
      out->count += t->bits[k + 1];
    }
    std::memcpy(out->vals, t->huffval, out->count);
  }
};

const Standard& standard() {
  static const Standard s;
  return s;
}

}  // namespace

bool isStandardTable(bool ac, bool chroma, const uint8_t bits[16], const uint8_t* vals, size_t count) {
  const Table& t = ac ? standard().ac[chroma] : standard().dc[chroma];
  return count == t.count && std::memcmp(bits, t.bits, 16) == 0 && std::memcmp(vals, t.vals, count) == 0;
}

namespace {

// Everything a long jump out of libjpeg may cross lives here, in memory, not in a register of
// the function that called setjmp.
struct Recoding {
  ErrorTrap err;
  jpeg_decompress_struct in;
  jpeg_compress_struct out;
  unsigned char* buf = nullptr;
  unsigned long bytes = 0;
  bool inMade = false, outMade = false;
};

// The libjpeg steps; false after a long jump (r->err.text tells why).
bool transcode(Recoding* r, const uint8_t* data, size_t size) {
  trap(&r->err);
  r->in.err = &r->err.mgr;
  r->out.err = &r->err.mgr;
  if (setjmp(r->err.back)) return false;
  jpeg_create_decompress(&r->in);
  r->inMade = true;
  jpeg_mem_src(&r->in, data, static_cast<unsigned long>(size));
  jpeg_read_header(&r->in, TRUE);
  jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&r->in);
  jpeg_create_compress(&r->out);
  r->outMade = true;
  jpeg_mem_dest(&r->out, &r->buf, &r->bytes);
  // Frame and quantisation as read; the defaults this sets include the standard Huffman
  // tables and the usual table choice (luminance 0, colour 1), optimisation off.
  jpeg_copy_critical_parameters(&r->in, &r->out);
  r->out.optimize_coding = FALSE;
  r->out.write_JFIF_header = FALSE;
  r->out.write_Adobe_marker = FALSE;
  r->out.restart_interval = 0;
  jpeg_write_coefficients(&r->out, coefficients);
  jpeg_finish_compress(&r->out);
  jpeg_finish_decompress(&r->in);
  return true;
}

}  // namespace

bool recode(const uint8_t* data, size_t size, std::vector<uint8_t>* out, std::string* why) {
  standard();  // made before any long jump can cross it
  Recoding r;
  const bool read = transcode(&r, data, size);
  const bool ok = read && r.err.warnings == 0;
  if (ok) out->assign(r.buf, r.buf + r.bytes);
  if (r.outMade) jpeg_destroy_compress(&r.out);
  if (r.inMade) jpeg_destroy_decompress(&r.in);
  std::free(r.buf);
  if (!ok) *why = std::string(read ? "damaged picture: " : "") + r.err.text;
  return ok;
}

}  // namespace jpegstd
