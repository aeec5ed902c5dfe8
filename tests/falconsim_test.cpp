// The simulated frame-grabber library through the loader's table: the channel's set-up
// sequence, refusals with driver-like errors, clip against scale, frame timing, injected
// failures, the call trace, and the test picture's code read back from JPEG pictures.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "channels/CJpegEncoder.h"
#include "falconsim/TestPattern.h"
#include "tests/falconsim_fixture.h"
#include "tests/jpeg_support.h"

namespace {

TestPatternInfo readBgrx(const std::vector<uint8_t>& image, int w, int h) {
  TestPatternInfo info;
  EXPECT_TRUE(readTestPatternBgrx(image.data(), w, h, w * 4, &info)) << w << "x" << h;
  return info;
}

// Cell width and height of the code as the decoder measures them.
void cellSize(const std::vector<uint8_t>& image, int w, int h, double* cw, double* ch) {
  using namespace falconsim::pattern;
  const LumaView v{image.data(), w, h, w * 4, 4, 2, 1, 0};
  double a, b;
  ASSERT_TRUE(findTiming(scanLine(v, true, h / 2), kMidCol, &a, &b, cw));
  ASSERT_TRUE(findTiming(scanLine(v, false, int((a + b) / 2)), kMidRow, &a, &b, ch));
}

TEST_F(FalconSimTest, ChannelSetUpGrabsTheInputsOwnPicture) {
  ScopedEnv boards("TELVGATE_FALCON_BOARDS", "2");
  EXPECT_EQ(api->GetNumberOfDevices(), 2);
  const FALCON_BOARD first = openBoard(), second = openBoard();
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  FALCON_BOARD third = 0;
  EXPECT_EQ(api->InitBoard(&third, nullptr), 3);  // no free board
  char info[FALCON_BOARDINFO_SIZE];
  ASSERT_EQ(api->GetBoardInfo(second, info), 0);
  EXPECT_STREQ(info, "SIM00000002");
  EXPECT_STREQ(info + 12, "TelvGate SimGrabber");

  const Capture c = setUpBoard(second, FALCON_VIDEO_PAL, 640, 480, true);
  for (int input : {3, 0}) {
    ASSERT_EQ(api->SetVideoInput(second, input), 0);
    const std::vector<uint8_t> image = grab(second, c);
    ASSERT_FALSE(image.empty());
    const TestPatternInfo got = readBgrx(image, 640, 480);
    EXPECT_EQ(got.board, 2u);
    EXPECT_EQ(got.input, input);
  }
  // A closed board can be opened again.
  closeBoard(second);
  FALCON_BOARD again = 2;
  EXPECT_EQ(api->InitBoard(&again, nullptr), 0);
  EXPECT_EQ(api->ExitBoard(again), 0);
}

TEST_F(FalconSimTest, WrongArgumentsFailWithCodeAndText) {
  const FALCON_BOARD b = openBoard();
  int code = 0;
  EXPECT_EQ(api->SetVideoInput(7, 0), 1);
  EXPECT_EQ(errorText(7, &code), "invalid board handle 7");
  EXPECT_EQ(code, 1);

  char* mem = nullptr;
  int id = 0;
  EXPECT_NE(api->FreezeVideo(b, FALCON_WAIT), 0);
  EXPECT_EQ(errorText(b), "no image memory set");
  EXPECT_NE(api->AllocImageMem(b, 640, 480, 24, &mem, &id), 0);
  EXPECT_NE(api->SetVideoInput(b, 5), 0);
  EXPECT_NE(api->SetVideoMode(b, 3), 0);
  EXPECT_NE(api->SetCaptureMode(b, 3), 0);
  EXPECT_NE(api->SetScaler(b, 1.5f, 1.0f), 0);
  EXPECT_NE(api->SetImagePos(b, -64, -48), 0);

  ASSERT_EQ(api->AllocImageMem(b, 320, 240, 32, &mem, &id), 0);
  EXPECT_NE(api->SetImageMem(b, mem, id + 1), 0);
  EXPECT_NE(api->SetImageMem(b, mem + 4, id), 0);
  ASSERT_EQ(api->SetImageMem(b, mem, id), 0);
  ASSERT_EQ(api->SetImageSize(b, 640, 480), 0);  // checked against the memory at capture
  EXPECT_EQ(api->FreezeVideo(b, FALCON_WAIT), 7);
  EXPECT_EQ(errorText(b), "image 640x480 exceeds the memory 320x240");
  ASSERT_EQ(api->SetImageSize(b, 320, 240), 0);
  ASSERT_EQ(api->SetImagePos(b, 500, 0), 0);
  EXPECT_EQ(api->FreezeVideo(b, FALCON_WAIT), 7);  // 500 + 320 > 768
  ASSERT_EQ(api->FreeImageMem(b, mem, id), 0);
  EXPECT_NE(api->FreeImageMem(b, mem, id), 0);
  ASSERT_EQ(api->SetImagePos(b, 0, 0), 0);
  EXPECT_EQ(api->FreezeVideo(b, FALCON_WAIT), 4);  // the freed memory was the capture memory
}

TEST_F(FalconSimTest, ClipKeepsPixelsScaleShrinksAndFieldsRepeatLines) {
  const FALCON_BOARD b = openBoard();
  double cw, ch;
  {
    const Capture c = setUpBoard(b, FALCON_VIDEO_PAL, 640, 480, true);
    cellSize(grab(b, c), 640, 480, &cw, &ch);
    EXPECT_NEAR(cw, 24.0, 0.6);
    EXPECT_NEAR(ch, 24.0, 0.6);
  }
  {
    const Capture c = setUpBoard(b, FALCON_VIDEO_PAL, 640, 480, false);
    cellSize(grab(b, c), 640, 480, &cw, &ch);
    EXPECT_NEAR(cw, 20.0, 0.6);  // 768 -> 640
    EXPECT_NEAR(ch, 20.0, 0.6);  // 576 -> 480
  }
  {
    const Capture c = setUpBoard(b, FALCON_VIDEO_NTSC, 320, 240, false);
    cellSize(grab(b, c), 320, 240, &cw, &ch);
    EXPECT_NEAR(cw, 12.0, 0.6);  // 640 -> 320
  }
  {
    const Capture c = setUpBoard(b, FALCON_VIDEO_PAL, 640, 480, true, FALCON_CAPTURE_FIELD);
    const std::vector<uint8_t> image = grab(b, c);
    ASSERT_FALSE(image.empty());
    for (int y = 0; y < 480; y += 2)
      ASSERT_EQ(std::memcmp(&image[size_t(y) * 2560], &image[size_t(y + 1) * 2560], 2560), 0);
  }
}

TEST_F(FalconSimTest, FreezeReturnsAtSuccessiveFrameBoundaries) {
  using Clock = std::chrono::steady_clock;
  const FALCON_BOARD b = openBoard();
  for (int standard : {FALCON_VIDEO_PAL, FALCON_VIDEO_NTSC}) {
    const double periodMs = standard == FALCON_VIDEO_NTSC ? 33.3666 : 40.0;
    const Capture c = setUpBoard(b, standard, 320, 240, true);
    // Boundaries lie on the monotonic clock (steady_clock here): the first freeze returns at a
    // boundary after start, the fifth at least four periods later, so no tolerance is needed.
    const Clock::time_point start = Clock::now();
    const TestPatternInfo first = readBgrx(grab(b, c), 320, 240);
    TestPatternInfo last;
    for (int i = 0; i < 4; ++i) {
      const TestPatternInfo next = readBgrx(grab(b, c), 320, 240);
      EXPECT_GT(next.frame, (i ? last : first).frame);  // every freeze gives a newer frame
      last = next;
    }
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_GE(elapsedMs, 4 * periodMs);
    EXPECT_GE(last.frame - first.frame, 4u);
  }
}

// Boards grab side by side on their own threads while another thread keeps asking for errors;
// the trace of all of them stays whole lines.
TEST_F(FalconSimTest, BoardsGrabConcurrently) {
  ScopedEnv boards("TELVGATE_FALCON_BOARDS", "3");
  TempDir dir;
  m_trace.set(dir.file("trace.txt").c_str());
  std::vector<FALCON_BOARD> handles;
  std::vector<Capture> captures;
  for (int i = 0; i < 3; ++i) {
    handles.push_back(openBoard());
    captures.push_back(setUpBoard(handles.back(), FALCON_VIDEO_PAL, 320, 240, i != 1));
  }
  std::atomic<bool> done{false};
  std::thread asker([&] {
    while (!done) {
      int code;
      char* text;
      api->GetError(1, &code, &text);
      api->SetVideoInput(9, 0);  // fails on an unknown board, beside the good calls
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<std::thread> grabbers;
  std::atomic<int> good{0};
  for (int i = 0; i < 3; ++i)
    grabbers.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) {
        api->SetVideoInput(handles[size_t(i)], round % 5);
        const std::vector<uint8_t> image = grab(handles[size_t(i)], captures[size_t(i)]);
        TestPatternInfo got;
        if (!image.empty() && readTestPatternBgrx(image.data(), 320, 240, 1280, &got) &&
            got.board == handles[size_t(i)] && got.input == round % 5)
          ++good;
      }
    });
  for (std::thread& t : grabbers) t.join();
  done = true;
  asker.join();
  EXPECT_EQ(good, 15);
  const std::string trace = readFile(dir.file("trace.txt"));
  size_t freezes = 0;
  for (size_t p = 0; p < trace.size();) {
    const size_t end = trace.find('\n', p);
    ASSERT_NE(end, std::string::npos);
    const std::string line = trace.substr(p, end - p);
    ASSERT_EQ(line.compare(0, 3, "is_"), 0) << line;
    ASSERT_EQ(line.find("is_", 1), std::string::npos) << line;
    freezes += line.compare(0, 15, "is_FreezeVideo ") == 0;
    p = end + 1;
  }
  EXPECT_EQ(freezes, 15u);
}

TEST_F(FalconSimTest, InjectedFailuresCountThenStop) {
  m_fail.set(" is_SetImageSize:2, is_FreezeVideo ,is_NoSuchCall:1,is_SetScaler:x");
  const FALCON_BOARD b = openBoard();
  int code = 0;
  EXPECT_EQ(api->SetImageSize(b, 320, 240), 99);
  EXPECT_EQ(errorText(b, &code), "simulated failure of is_SetImageSize");
  EXPECT_EQ(code, 99);
  EXPECT_EQ(api->SetImageSize(b, 320, 240), 99);
  EXPECT_EQ(api->SetImageSize(b, 320, 240), 0);
  EXPECT_EQ(api->SetScaler(b, 0.0f, 0.0f), 0);  // a malformed count rules nothing
  for (int i = 0; i < 3; ++i) EXPECT_EQ(api->FreezeVideo(b, FALCON_WAIT), 99);

  // Opening a board restarts the counts, except is_InitBoard's own.
  m_fail.set("is_InitBoard:1,is_SetVideoMode:1");
  FALCON_BOARD other = 0;
  EXPECT_EQ(api->InitBoard(&other, nullptr), 99);
  EXPECT_EQ(errorText(0), "simulated failure of is_InitBoard");
  closeBoard(b);
  for (int round = 0; round < 2; ++round) {
    const FALCON_BOARD again = openBoard();
    EXPECT_EQ(api->SetVideoMode(again, 0), 99);
    EXPECT_EQ(api->SetVideoMode(again, 0), 0);
    closeBoard(again);
  }
}

TEST_F(FalconSimTest, TraceHasOneLinePerCallWithItsArguments) {
  TempDir dir;
  const std::string path = dir.file("trace.txt");
  m_trace.set(path.c_str());
  const FALCON_BOARD b = openBoard();
  char* mem = nullptr;
  int id = 0;
  api->AllocImageMem(b, 640, 480, 32, &mem, &id);
  api->SetImagePos(b, 64, 48);
  api->SetScaler(b, 1.0f, 0.5f);
  api->SetImageMem(b, nullptr, id);
  closeBoard(b);
  EXPECT_EQ(api->ExitBoard(b), 1);  // already closed: fails, and is traced too
  EXPECT_EQ(readFile(path),
            "is_InitBoard 0 0\n"
            "is_AllocImageMem 1 640 480 32 1 1\n"
            "is_SetImagePos 1 64 48\n"
            "is_SetScaler 1 1 0.5\n"
            "is_SetImageMem 1 0 1\n"
            "is_ExitBoard 1\n"
            "is_ExitBoard 1\n");
}

// Each size the channel produces, clipped or scaled, through quality 10 JPEG and back.
TEST_F(FalconSimTest, CodeSurvivesJpegAtEverySize) {
  struct Case {
    int standard, width, height;
    bool clip;
    int mode;
  };
  const Case cases[] = {
      {FALCON_VIDEO_PAL, 768, 576, true, 4},   {FALCON_VIDEO_PAL, 640, 480, true, 4},
      {FALCON_VIDEO_PAL, 640, 480, false, 4},  {FALCON_VIDEO_PAL, 640, 480, true, 2},
      {FALCON_VIDEO_PAL, 640, 480, false, 2},  {FALCON_VIDEO_PAL, 320, 240, true, 4},
      {FALCON_VIDEO_PAL, 320, 240, false, 4},  {FALCON_VIDEO_NTSC, 640, 480, true, 4},
      {FALCON_VIDEO_NTSC, 320, 240, false, 4}, {FALCON_VIDEO_NTSC, 768, 576, false, 4},
      {FALCON_VIDEO_NTSC, 640, 480, false, 2}, {FALCON_VIDEO_SECAM, 320, 240, true, 4},
  };
  const FALCON_BOARD b = openBoard();
  ASSERT_EQ(api->SetVideoInput(b, 4), 0);
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.standard) + " " + std::to_string(k.width) + "x" +
                 std::to_string(k.height) + (k.clip ? " clip" : " scale") + " mode " +
                 std::to_string(k.mode));
    const Capture c = setUpBoard(b, k.standard, k.width, k.height, k.clip, k.mode);
    std::vector<uint8_t> image = grab(b, c);
    ASSERT_FALSE(image.empty());
    int h = k.height;
    const int w = k.width, stride = w * 4;
    if (k.mode == FALCON_CAPTURE_FIELD) {  // the channel keeps every second line
      h /= 2;
      for (int y = 1; y < h; ++y)
        std::memmove(&image[size_t(y) * stride], &image[size_t(2 * y) * stride], size_t(stride));
    } else {  // and softens full frames with a 2 x 2 box filter
      for (int y = 0; y + 1 < h; ++y)
        for (int x = 0; x + 1 < w; ++x)
          for (int ch = 0; ch < 3; ++ch) {
            uint8_t* p = &image[size_t(y) * stride + size_t(x) * 4 + ch];
            p[0] = uint8_t((p[0] + p[4] + p[stride] + p[stride + 4]) / 4);
          }
    }
    const TestPatternInfo raw = readBgrx(image, w, h);
    // libjpeg-turbo's tables, then the channel's own encoder (which has its own tables).
    for (int quality : {10, 30, 90, -10, -70}) {
      std::vector<uint8_t> jpeg;
      if (quality > 0) {
        jpeg = jpegtest::referenceEncode(image.data(), w, h, quality, false);
      } else {
        CJpegEncoder encoder;
        ASSERT_TRUE(encoder.init(-quality, w, h, k.height, ""));
        std::vector<uint8_t> pixels(image);  // the encoder works in place
        jpeg.resize(512 * 1024);
        size_t length = 0;
        uint32_t sequence = 0;
        ASSERT_TRUE(encoder.encode(pixels.data(), jpeg.data(), jpeg.size(), &length, 0, &sequence));
        jpeg.resize(length);
      }
      int dw = 0, dh = 0;
      std::vector<uint8_t> rgb;
      ASSERT_TRUE(jpegtest::decode(jpeg.data(), jpeg.size(), &dw, &dh, &rgb));
      TestPatternInfo got;
      ASSERT_TRUE(readTestPattern(rgb.data(), dw, dh, dw * 3, &got)) << "quality " << quality;
      EXPECT_EQ(got.board, b);
      EXPECT_EQ(got.input, 4);
      EXPECT_EQ(got.frame, raw.frame);
    }
  }
}

}  // namespace
