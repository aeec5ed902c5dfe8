// Encoder speed and quality against libjpeg-turbo, same pictures, same run: quality 70,
// 4:2:0, BGRX input, a drawn picture and a photograph, 768 x 576 and 640 x 480.
//
// Fairness rules:
// - libjpeg-turbo keeps one compressor for all frames, writes into a preallocated buffer and
//   takes the whole picture in one write_scanlines call; nothing is created, grown or copied
//   inside its timed region.
// - Our encoder rewrites its input in place, so every frame starts from a fresh copy of the
//   picture; the copy happens outside the timed region (the input is then as warm in the
//   cache as libjpeg-turbo's, which reads the same picture every frame).
// - The encoders take turns within each round (the order rotates per round); each one is
//   warmed up first, and the figures are the minimum and the median of the rounds' per-frame
//   thread CPU times (wall time is printed beside them).
// - libjpeg-turbo's plain-C path is chosen when the library starts (JSIMD_FORCENONE=1), so it
//   is measured by a child run of this program with that variable set, right after the
//   parent's rounds of the same picture.
//
// Usage: bench_encoder [rounds=21] [photo.jpg]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "channels/CJpegEncoder.h"
#include "tests/jpeg_support.h"  // jpeglib.h

namespace {

constexpr int kQuality = 70;
constexpr int kFramesPerRound = 6;
const char* const kDefaultPhoto = "/usr/share/backgrounds/Bridge_by_Sander_Klootwijk.jpg";

double wallSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// One libjpeg-turbo compressor reused for every frame, writing into a fixed buffer.
class TurboEncoder {
 public:
  TurboEncoder(const uint8_t* bgrx, int w, int h, bool optimize, const unsigned* luma,
               const unsigned* chroma)
      : m_out(4 * size_t(w) * size_t(h) + 65536), m_rows(size_t(h)) {
    m_c.err = jpeg_std_error(&m_err);
    jpeg_create_compress(&m_c);
    m_dest.init_destination = &TurboEncoder::initDest;
    m_dest.empty_output_buffer = &TurboEncoder::emptyDest;
    m_dest.term_destination = &TurboEncoder::termDest;
    m_c.dest = &m_dest;
    m_c.client_data = this;
    m_c.image_width = JDIMENSION(w);
    m_c.image_height = JDIMENSION(h);
    m_c.input_components = 4;
    m_c.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&m_c);
    jpeg_set_quality(&m_c, kQuality, TRUE);
    if (luma && chroma) {
      jpeg_add_quant_table(&m_c, 0, luma, 100, TRUE);
      jpeg_add_quant_table(&m_c, 1, chroma, 100, TRUE);
    }
    m_c.optimize_coding = optimize ? TRUE : FALSE;
    m_c.comp_info[0].h_samp_factor = 2;
    m_c.comp_info[0].v_samp_factor = 2;
    for (int y = 0; y < h; ++y)
      m_rows[size_t(y)] = const_cast<uint8_t*>(bgrx + size_t(y) * size_t(w) * 4);
  }
  ~TurboEncoder() { jpeg_destroy_compress(&m_c); }
  TurboEncoder(const TurboEncoder&) = delete;
  TurboEncoder& operator=(const TurboEncoder&) = delete;

  void encode() {
    jpeg_start_compress(&m_c, TRUE);
    jpeg_write_scanlines(&m_c, m_rows.data(), m_c.image_height);
    jpeg_finish_compress(&m_c);
  }
  std::vector<uint8_t> output() const {
    return std::vector<uint8_t>(m_out.begin(), m_out.begin() + long(m_length));
  }

 private:
  static TurboEncoder* self(j_compress_ptr c) { return static_cast<TurboEncoder*>(c->client_data); }
  static void initDest(j_compress_ptr c) {
    c->dest->next_output_byte = self(c)->m_out.data();
    c->dest->free_in_buffer = self(c)->m_out.size();
  }
  static boolean emptyDest(j_compress_ptr) {
    // The buffer holds four bytes per pixel: a picture never fills it.
    std::fprintf(stderr, "libjpeg-turbo destination full\n");
    std::abort();
  }
  static void termDest(j_compress_ptr c) {
    self(c)->m_length = self(c)->m_out.size() - c->dest->free_in_buffer;
  }

  jpeg_compress_struct m_c;
  jpeg_error_mgr m_err;
  jpeg_destination_mgr m_dest;
  std::vector<uint8_t> m_out;
  std::vector<JSAMPROW> m_rows;
  size_t m_length = 0;
};

// Per-frame times of one encoder over the rounds.
struct Samples {
  std::vector<double> cpuMs, wallMs;
  static double minOf(std::vector<double> v) { return *std::min_element(v.begin(), v.end()); }
  static double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
  }
};

// An encoder under test: prepare() runs untimed before every frame, frame() is timed.
struct Contender {
  std::string name;
  std::function<void()> prepare;
  std::function<void()> frame;
  std::function<std::vector<uint8_t>()> output;
  Samples samples;
};

void runRounds(std::vector<Contender*>& all, int rounds) {
  for (Contender* c : all) {  // warm-up: caches, tables, lazy initialisation
    c->prepare();
    c->frame();
  }
  for (int r = 0; r < rounds; ++r) {
    for (size_t i = 0; i < all.size(); ++i) {
      Contender* c = all[(i + size_t(r)) % all.size()];
      double cpu = 0, wall = 0;
      for (int f = 0; f < kFramesPerRound; ++f) {
        c->prepare();
        const double c0 = bench::threadCpuSeconds(), w0 = wallSeconds();
        c->frame();
        cpu += bench::threadCpuSeconds() - c0;
        wall += wallSeconds() - w0;
      }
      c->samples.cpuMs.push_back(cpu * 1000.0 / kFramesPerRound);
      c->samples.wallMs.push_back(wall * 1000.0 / kFramesPerRound);
    }
  }
}

double psnrOf(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& original) {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  if (!jpegtest::decode(jpeg.data(), jpeg.size(), &w, &h, &rgb)) return -1;
  return jpegtest::psnr(original, rgb);
}

// The photograph cropped to the frame's aspect ratio around its centre and scaled down by
// averaging whole source areas, as BGRX. Empty when the file cannot be read.
std::vector<uint8_t> photoPicture(const std::string& path, int w, int h) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  std::vector<uint8_t> file;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) file.insert(file.end(), buf, buf + n);
  std::fclose(f);
  int sw = 0, sh = 0;
  std::vector<uint8_t> rgb;
  if (!jpegtest::decode(file.data(), file.size(), &sw, &sh, &rgb)) return {};
  int cw = sw, ch = int(int64_t(sw) * h / w);
  if (ch > sh) {
    ch = sh;
    cw = int(int64_t(sh) * w / h);
  }
  const int x0 = (sw - cw) / 2, y0 = (sh - ch) / 2;
  std::vector<uint8_t> out(size_t(w) * size_t(h) * 4);
  for (int y = 0; y < h; ++y) {
    const int ya = y0 + int(int64_t(y) * ch / h), yb = y0 + int(int64_t(y + 1) * ch / h);
    for (int x = 0; x < w; ++x) {
      const int xa = x0 + int(int64_t(x) * cw / w), xb = x0 + int(int64_t(x + 1) * cw / w);
      uint32_t sum[3] = {0, 0, 0}, count = 0;
      for (int sy = ya; sy < yb; ++sy)
        for (int sx = xa; sx < xb; ++sx, ++count)
          for (int k = 0; k < 3; ++k) sum[k] += rgb[(size_t(sy) * sw + sx) * 3 + k];
      uint8_t* p = &out[(size_t(y) * w + x) * 4];
      p[0] = uint8_t((sum[2] + count / 2) / count);
      p[1] = uint8_t((sum[1] + count / 2) / count);
      p[2] = uint8_t((sum[0] + count / 2) / count);
      p[3] = 0xA5;
    }
  }
  return out;
}

std::vector<uint8_t> pictureFor(const std::string& source, int w, int h) {
  return source == "drawn" ? jpegtest::naturalPicture(w, h, 7) : photoPicture(source, w, h);
}

// Child mode: libjpeg-turbo one-pass, whatever SIMD the environment left it; prints
// "min median wall bytes".
int childTurbo(const std::string& source, int w, int h, int rounds) {
  const std::vector<uint8_t> picture = pictureFor(source, w, h);
  if (picture.empty()) return 1;
  TurboEncoder turbo(picture.data(), w, h, false, nullptr, nullptr);
  Contender c{"", [] {}, [&] { turbo.encode(); }, [&] { return turbo.output(); }, {}};
  std::vector<Contender*> all{&c};
  runRounds(all, rounds);
  std::printf("%.6f %.6f %.6f %zu\n", Samples::minOf(c.samples.cpuMs),
              Samples::medianOf(c.samples.cpuMs), Samples::medianOf(c.samples.wallMs),
              c.output().size());
  return 0;
}

struct Row {
  std::string name;
  double minMs, medMs, wallMs;
  size_t bytes;
  double psnr;
};

bool plainTurboRow(const std::string& self, const std::string& source, int w, int h, int rounds,
                   Row* row) {
  const std::string cmd = "JSIMD_FORCENONE=1 '" + self + "' --turbo-child " +
                          std::to_string(rounds) + " " + std::to_string(w) + " " +
                          std::to_string(h) + " '" + source + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return false;
  double mn = 0, md = 0, wl = 0;
  size_t bytes = 0;
  const int got = std::fscanf(p, "%lf %lf %lf %zu", &mn, &md, &wl, &bytes);
  if (pclose(p) != 0 || got != 4) return false;
  // Same encoder and settings as the one-pass row, so its picture quality is that row's.
  *row = {"libjpeg-turbo one-pass, plain C", mn, md, wl, bytes, 0};
  return true;
}

void benchPicture(const std::string& self, const std::string& source, const char* label, int w,
                  int h, int rounds) {
  const std::vector<uint8_t> picture = pictureFor(source, w, h);
  if (picture.empty()) {
    std::printf("\n%s %d x %d: cannot read %s (scripts/install-deps.sh installs it)\n", label, w,
                h, source.c_str());
    return;
  }
  const std::vector<uint8_t> original = jpegtest::bgrxToRgb(picture);
  std::vector<uint8_t> work(picture.size());
  std::vector<uint8_t> out(4 * picture.size());

  CJpegEncoder ours, portable;
  portable.setSimdLevel(jpeg::SimdLevel::kPortable);
  if (!ours.init(kQuality, w, h, h, "") || !portable.init(kQuality, w, h, h, "")) {
    std::printf("init failed\n");
    return;
  }
  size_t ourLen = 0, portableLen = 0;
  bool ok = true;
  uint32_t seq = 0;
  auto fresh = [&] { std::memcpy(work.data(), picture.data(), picture.size()); };
  std::vector<uint8_t> outPortable(out.size());
  auto ourFrame = [&](CJpegEncoder& enc, std::vector<uint8_t>& dst, size_t* len) {
    ok = enc.encode(work.data(), dst.data(), dst.size(), len, 0, &seq) && ok;
  };
  auto bytesOf = [](const std::vector<uint8_t>& dst, const size_t& len) {
    return [&dst, &len] { return std::vector<uint8_t>(dst.begin(), dst.begin() + long(len)); };
  };
  Contender cOurs{std::string("TelvGate two-pass (") + jpeg::simdLevelName(ours.simdLevel()) +
                      ")",
                  fresh, [&] { ourFrame(ours, out, &ourLen); }, bytesOf(out, ourLen), {}};
  Contender cPortable{"TelvGate two-pass (portable)", fresh,
                      [&] { ourFrame(portable, outPortable, &portableLen); },
                      bytesOf(outPortable, portableLen), {}};

  // Our effective quantisation matrices in natural order, from our own DQT segments.
  fresh();
  ours.encode(work.data(), out.data(), out.size(), &ourLen, 0, &seq);
  const size_t dqt = CJpegEncoder::kApp0Size + pictureblocks::kStampSegmentSize +
                     size_t(out[CJpegEncoder::kApp0Size + pictureblocks::kStampSegmentSize + 3]) +
                     2;
  unsigned luma[64], chroma[64];
  for (int k = 0; k < 64; ++k) {
    luma[jpeg::kZigzag[k]] = out[dqt + 5 + size_t(k)];
    chroma[jpeg::kZigzag[k]] = out[dqt + CJpegEncoder::kQuantSegmentSize + 5 + size_t(k)];
  }

  TurboEncoder tOne(picture.data(), w, h, false, nullptr, nullptr);
  TurboEncoder tOurTables(picture.data(), w, h, false, luma, chroma);
  TurboEncoder tTwo(picture.data(), w, h, true, nullptr, nullptr);
  Contender cOne{"libjpeg-turbo one-pass", [] {}, [&] { tOne.encode(); },
                 [&] { return tOne.output(); }, {}};
  Contender cOurTables{"libjpeg-turbo one-pass, our tables", [] {},
                       [&] { tOurTables.encode(); }, [&] { return tOurTables.output(); }, {}};
  Contender cTwo{"libjpeg-turbo two-pass", [] {}, [&] { tTwo.encode(); },
                 [&] { return tTwo.output(); }, {}};

  std::vector<Contender*> all{&cOurs, &cPortable, &cOne, &cOurTables, &cTwo};
  runRounds(all, rounds);
  if (!ok) {
    std::printf("encode failed\n");
    return;
  }
  std::vector<Row> rows;
  for (Contender* c : all) {
    const std::vector<uint8_t> jpeg = c->output();
    rows.push_back({c->name, Samples::minOf(c->samples.cpuMs), Samples::medianOf(c->samples.cpuMs),
                    Samples::medianOf(c->samples.wallMs), jpeg.size(), psnrOf(jpeg, original)});
  }
  Row plain;
  if (plainTurboRow(self, source, w, h, rounds, &plain)) {
    plain.psnr = rows[2].psnr;
    rows.push_back(plain);
  } else {
    std::printf("(the plain-C child run failed)\n");
  }

  const Row& one = rows[2];
  std::printf("\n%s, %d x %d, %d rounds of %d frames\n", label, w, h, rounds, kFramesPerRound);
  std::printf("| encoder | CPU ms min | CPU ms median | wall ms median | bytes | PSNR dB |"
              " one-pass / this (min) | (median) |\n|---|--:|--:|--:|--:|--:|--:|--:|\n");
  for (const Row& r : rows)
    std::printf("| %s | %.3f | %.3f | %.3f | %zu | %.2f | %.2fx | %.2fx |\n", r.name.c_str(),
                r.minMs, r.medMs, r.wallMs, r.bytes, r.psnr, one.minMs / r.minMs,
                one.medMs / r.medMs);
  if (rows.size() > 5)
    std::printf("portable vs plain-C one-pass: %.2fx (min), %.2fx (median)\n",
                rows[5].minMs / rows[1].minMs, rows[5].medMs / rows[1].medMs);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--turbo-child")
    return childTurbo(argv[5], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[2]));
  const int rounds = argc > 1 ? std::max(15, std::atoi(argv[1])) : 21;
  const std::string photo = argc > 2 ? argv[2] : kDefaultPhoto;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = 0;

  std::printf("Quality 70, 4:2:0, BGRX input. Per-frame thread CPU time, minimum and median over\n"
              "the rounds; ratios above 1 mean faster than libjpeg-turbo's one-pass encode.\n"
              "libjpeg-turbo uses its own quality-70 tables unless the row says otherwise; ours\n"
              "lay the example values along the zigzag path, so sizes and PSNR differ for that\n"
              "reason too. Photograph: %s\n",
              photo.c_str());
  for (const auto& size : {std::make_pair(768, 576), std::make_pair(640, 480)}) {
    benchPicture(self, "drawn", "Drawn picture", size.first, size.second, rounds);
    benchPicture(self, photo, "Photograph", size.first, size.second, rounds);
  }
  return 0;
}
