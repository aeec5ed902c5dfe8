// Encoder speed and quality against libjpeg-turbo, same pictures, same run: quality 70,
// 4:2:0, BGRX input. Prints one table. Our encoder rewrites its input in place, so each of
// its rounds starts from a fresh copy of the picture; the copy's own time is measured alone
// and taken off. Times are the thread's CPU time, so other work on a shared machine does
// not count against either encoder.
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "channels/CJpegEncoder.h"
#include "tests/jpeg_support.h"

namespace {

template <typename F>
double msPerRun(F&& run, double minSeconds = 0.6) {
  run();  // warm up caches and tables
  int n = 0;
  const double start = bench::threadCpuSeconds();
  double elapsed = 0;
  do {
    run();
    ++n;
    elapsed = bench::threadCpuSeconds() - start;
  } while (elapsed < minSeconds);
  return elapsed * 1000.0 / n;
}

struct Row {
  std::string name;
  double ms;
  size_t bytes;
  double psnr;
};

double psnrOf(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& original) {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  if (!jpegtest::decode(jpeg.data(), jpeg.size(), &w, &h, &rgb)) return -1;
  return jpegtest::psnr(original, rgb);
}

void benchSize(int w, int h) {
  const std::vector<uint8_t> picture = jpegtest::naturalPicture(w, h, 7);
  const std::vector<uint8_t> original = jpegtest::bgrxToRgb(picture);
  std::vector<uint8_t> work(picture.size());
  std::vector<uint8_t> out(512 * 1024);
  std::vector<Row> rows;

  const double copyMs = msPerRun([&] { std::memcpy(work.data(), picture.data(), picture.size()); });
  for (bool portable : {false, true}) {
    CJpegEncoder enc;
    enc.setForcePortable(portable);
    if (!enc.init(70, w, h, h, "")) {
      std::printf("init failed\n");
      return;
    }
    size_t len = 0;
    uint32_t seq = 0;
    bool ok = true;
    const double ms = msPerRun([&] {
      std::memcpy(work.data(), picture.data(), picture.size());
      ok = ok && enc.encode(work.data(), out.data(), out.size(), &len, 0, &seq);
    });
    if (!ok) {
      std::printf("encode failed\n");
      return;
    }
    const std::vector<uint8_t> jpeg(out.begin(), out.begin() + long(len));
    rows.push_back({portable ? "TelvGate (portable)" : "TelvGate", ms - copyMs, len,
                    psnrOf(jpeg, original)});
  }
  for (bool optimize : {true, false}) {
    std::vector<uint8_t> jpeg;
    const double ms =
        msPerRun([&] { jpeg = jpegtest::referenceEncode(picture.data(), w, h, 70, optimize); });
    rows.push_back({optimize ? "libjpeg-turbo optimized" : "libjpeg-turbo one-pass", ms,
                    jpeg.size(), psnrOf(jpeg, original)});
  }

  std::printf("\n%d x %d, quality 70, 4:2:0, BGRX input\n", w, h);
  std::printf("| %-24s | %8s | %8s | %9s | %8s | %11s | %11s |\n", "encoder", "ms/frame",
              "frames/s", "bytes", "PSNR dB", "vs optimized", "vs one-pass");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(26, '-').c_str(),
              std::string(10, '-').c_str(), std::string(10, '-').c_str(),
              std::string(11, '-').c_str(), std::string(10, '-').c_str(),
              std::string(14, '-').c_str(), std::string(13, '-').c_str());
  const double optMs = rows[2].ms, oneMs = rows[3].ms;
  for (const Row& r : rows)
    std::printf("| %-24s | %8.3f | %8.1f | %9zu | %8.2f | %11.2fx | %10.2fx |\n", r.name.c_str(),
                r.ms, 1000.0 / r.ms, r.bytes, r.psnr, optMs / r.ms, oneMs / r.ms);
}

}  // namespace

int main() {
  std::printf("CPU time per frame. Speed ratios: libjpeg-turbo time / this encoder's time\n"
              "(above 1: faster).\n");
  std::printf("Our SIMD code on this processor: %s.\n",
              __builtin_cpu_supports("avx2")    ? "AVX2 (transform, colour), SSSE3 (packing)"
              : __builtin_cpu_supports("ssse3") ? "SSE2/SSSE3"
                                                : "SSE2 colour only");
  std::printf("libjpeg-turbo uses its own quality-70 tables; ours lay the example values\n"
              "along the zigzag path, so sizes and PSNR differ for that reason too.\n");
  benchSize(768, 576);
  benchSize(640, 480);
  return 0;
}
