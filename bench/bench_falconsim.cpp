// The simulated grabber's cost per captured frame: drawing the full test picture and copying
// the clipped or scaled window into the image memory (is_FreezeVideo without waiting for the
// frame boundary). Thread CPU time, so other work on a shared machine does not count.
#include <cstdio>

#include "bench/BenchSupport.h"
#include "platform/FalconLib.h"

namespace {

struct Case {
  const char* name;
  int standard, width, height;
  bool clip;
  int mode;
};

}  // namespace

int main() {
  platform::FalconLib lib;
  if (lib.loadFile(TELVGATE_BINARY_DIR "/libfalcon.so") != platform::FalconLib::Result::Loaded) {
    std::printf("cannot load libfalcon.so: %s\n", lib.error().c_str());
    return 1;
  }
  const FalconApi& api = lib.api();
  api.SetErrorReport(0, 0);
  FALCON_BOARD board = 0;
  if (api.InitBoard(&board, nullptr) != 0) return 1;
  const Case cases[] = {
      {"PAL d-1pal (full frame)", FALCON_VIDEO_PAL, 768, 576, true, FALCON_CAPTURE_FRAME},
      {"PAL vga clip", FALCON_VIDEO_PAL, 640, 480, true, FALCON_CAPTURE_FRAME},
      {"PAL vga scale", FALCON_VIDEO_PAL, 640, 480, false, FALCON_CAPTURE_FRAME},
      {"PAL vga2 scale (field)", FALCON_VIDEO_PAL, 640, 480, false, FALCON_CAPTURE_FIELD},
      {"PAL qvga scale", FALCON_VIDEO_PAL, 320, 240, false, FALCON_CAPTURE_FRAME},
      {"NTSC vga (full frame)", FALCON_VIDEO_NTSC, 640, 480, true, FALCON_CAPTURE_FRAME},
  };
  std::printf("Simulated grabber: CPU time per captured frame (target: well under 2 ms at 768 x 576)\n");
  std::printf("| %-24s | %9s | %8s |\n", "capture", "size", "ms/frame");
  std::printf("|%s|%s|%s|\n", "--------------------------", "-----------", "----------");
  for (const Case& c : cases) {
    char* mem = nullptr;
    int id = 0;
    const int fw = c.standard == FALCON_VIDEO_NTSC ? 640 : 768;
    const int fh = c.standard == FALCON_VIDEO_NTSC ? 480 : 576;
    bool ok = api.SetVideoMode(board, c.standard) == 0 &&
              api.SetCaptureMode(board, c.mode) == 0 &&
              api.AllocImageMem(board, c.width, c.height, 32, &mem, &id) == 0 &&
              api.SetImageMem(board, mem, id) == 0 &&
              api.SetImagePos(board, c.clip ? (fw - c.width) / 2 : 0,
                              c.clip ? (fh - c.height) / 2 : 0) == 0 &&
              api.SetImageSize(board, c.width, c.height) == 0 &&
              api.SetScaler(board, c.clip ? 0.0f : 1.0f, c.clip ? 0.0f : 1.0f) == 0;
    api.FreezeVideo(board, 0);  // warm up
    int n = 0;
    const double start = bench::threadCpuSeconds();
    double elapsed = 0;
    while (ok && elapsed < 0.5) {
      ok = api.FreezeVideo(board, 0) == 0;
      ++n;
      elapsed = bench::threadCpuSeconds() - start;
    }
    char size[16];
    std::snprintf(size, sizeof size, "%dx%d", c.width, c.height);
    if (ok)
      std::printf("| %-24s | %9s | %8.3f |\n", c.name, size, elapsed * 1000.0 / n);
    else
      std::printf("| %-24s | %9s | %8s |\n", c.name, size, "failed");
    api.FreeImageMem(board, mem, id);
  }
  api.ExitBoard(board);
  return 0;
}
