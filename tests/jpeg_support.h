#pragma once
// Helpers shared by the encoder tests and the encoder benchmark: a procedurally drawn natural
// picture, and libjpeg-turbo as the reference decoder and reference encoder.
#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace jpegtest {

// Gradients, hard edges, fine textures and noise, in saturated and muted colours: the mix a
// camera picture has. Deterministic for a seed. Returns width x height BGRX pixels.
inline std::vector<uint8_t> naturalPicture(int w, int h, uint32_t seed = 1) {
  std::vector<uint8_t> px(size_t(w) * size_t(h) * 4);
  uint32_t s = seed * 2654435761u + 12345u;
  auto rnd = [&s]() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double fx = double(x) / w, fy = double(y) / h;
      // Sky-like gradient on top, ground texture below, a few objects with hard edges.
      double r = 90 + 120 * fy, g = 140 + 60 * fx, b = 210 - 120 * fy;
      if (fy > 0.55) {
        const double t = 0.5 + 0.5 * std::sin(x * 0.35 + 3 * std::sin(y * 0.11));
        r = 80 + 60 * t;
        g = 110 + 50 * t;
        b = 40 + 30 * t;
      }
      const double dx = x - 0.3 * w, dy = y - 0.45 * h;
      if (dx * dx + dy * dy < 0.02 * w * w) {  // red disc
        r = 220;
        g = 40 + 30 * fx;
        b = 35;
      }
      if (x > 0.6 * w && x < 0.85 * w && y > 0.2 * h && y < 0.7 * h) {  // house with windows
        r = 200;
        g = 190;
        b = 170;
        if (((x / 12) % 3 == 1) && ((y / 14) % 3 == 1)) {
          r = 30;
          g = 50;
          b = 90;
        }
      }
      if (x > 0.1 * w && x < 0.14 * w && y > 0.1 * h) {  // pole with stripes
        const bool stripe = (y / 6) % 2 == 0;
        r = stripe ? 250 : 20;
        g = stripe ? 250 : 20;
        b = stripe ? 250 : 20;
      }
      const double n = double(int(rnd() % 9) - 4);
      auto clip = [](double v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); };
      uint8_t* p = &px[(size_t(y) * w + x) * 4];
      p[0] = clip(b + n);
      p[1] = clip(g + n);
      p[2] = clip(r + n);
      p[3] = 0xA5;  // the ignored fourth byte carries junk, as grabbers leave it
    }
  }
  return px;
}

inline std::vector<uint8_t> bgrxToRgb(const std::vector<uint8_t>& bgrx) {
  std::vector<uint8_t> rgb(bgrx.size() / 4 * 3);
  for (size_t i = 0; i < bgrx.size() / 4; ++i) {
    rgb[3 * i] = bgrx[4 * i + 2];
    rgb[3 * i + 1] = bgrx[4 * i + 1];
    rgb[3 * i + 2] = bgrx[4 * i];
  }
  return rgb;
}

struct ErrorJump {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

inline void onJpegError(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
}
inline void onJpegMessage(j_common_ptr, int) {}

// Decodes to RGB (or the Y plane with lumaOnly). False on any decoder error or warning
// (a corrupt-data warning means the scan was damaged).
inline bool decode(const uint8_t* data, size_t len, int* w, int* h, std::vector<uint8_t>* out,
                   bool lumaOnly = false) {
  jpeg_decompress_struct d;
  ErrorJump err;
  d.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = onJpegError;
  err.mgr.emit_message = onJpegMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, const_cast<uint8_t*>(data), static_cast<unsigned long>(len));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = lumaOnly ? JCS_YCbCr : JCS_RGB;
  jpeg_start_decompress(&d);
  *w = int(d.output_width);
  *h = int(d.output_height);
  const int comps = d.output_components;
  std::vector<uint8_t> all(size_t(*w) * size_t(*h) * comps);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = &all[size_t(d.output_scanline) * *w * comps];
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  const bool clean = err.mgr.num_warnings == 0;
  jpeg_destroy_decompress(&d);
  if (lumaOnly) {
    out->resize(size_t(*w) * size_t(*h));
    for (size_t i = 0; i < out->size(); ++i) (*out)[i] = all[i * comps];
  } else {
    *out = std::move(all);
  }
  return clean;
}

// libjpeg-turbo's own encoder on BGRX input, 4:2:0, baseline, optionally with optimised
// Huffman tables.
// With tables (natural order, luminance and chrominance) those replace the quality's tables.
inline std::vector<uint8_t> referenceEncode(const uint8_t* bgrx, int w, int h, int quality,
                                            bool optimize, const unsigned* lumaTable = nullptr,
                                            const unsigned* chromaTable = nullptr,
                                            const std::vector<std::vector<uint8_t>>* comments =
                                                nullptr) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = JDIMENSION(w);
  c.image_height = JDIMENSION(h);
  c.input_components = 4;
  c.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  if (lumaTable && chromaTable) {
    jpeg_add_quant_table(&c, 0, lumaTable, 100, TRUE);
    jpeg_add_quant_table(&c, 1, chromaTable, 100, TRUE);
  }
  c.optimize_coding = optimize ? TRUE : FALSE;
  c.comp_info[0].h_samp_factor = 2;
  c.comp_info[0].v_samp_factor = 2;
  jpeg_start_compress(&c, TRUE);
  if (comments)
    for (const std::vector<uint8_t>& com : *comments)
      jpeg_write_marker(&c, JPEG_COM, com.data(), unsigned(com.size()));
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(bgrx + size_t(c.next_scanline) * w * 4);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<uint8_t> out(buf, buf + size);
  jpeg_destroy_compress(&c);
  free(buf);
  return out;
}

inline double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(b[i]);
    se += d * d;
  }
  const double mse = se / double(a.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace jpegtest
