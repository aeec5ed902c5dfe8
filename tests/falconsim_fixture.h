#pragma once
// The simulated grabber library loaded through the gateway's loader, with its environment
// under the test's control, and the board set-up the analog channel performs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/FalconLib.h"
#include "tests/support/TestEnv.h"

// Sets (or with nullptr removes) an environment variable; restores it on destruction.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (old) m_old = old;
    set(value);
  }
  ~ScopedEnv() { set(m_had ? m_old.c_str() : nullptr); }
  void set(const char* value) {
    if (value)
      setenv(m_name, value, 1);
    else
      unsetenv(m_name);
  }

 private:
  const char* m_name;
  std::string m_old;
  bool m_had;
};

class FalconSimTest : public ::testing::Test {
 protected:
  struct Capture {
    char* mem = nullptr;
    int id = 0;
    int width = 0, height = 0;
  };

  void SetUp() override {
    ASSERT_EQ(m_lib.loadFile(buildTreePath("libfalcon.so")),
              platform::FalconLib::Result::Loaded)
        << m_lib.error();
    api = &m_lib.api();
    ASSERT_EQ(api->SetErrorReport(0, 0), 0);
  }

  void TearDown() override {
    for (FALCON_BOARD b : m_open) api->ExitBoard(b);
  }

  FALCON_BOARD openBoard() {
    FALCON_BOARD b = 0;
    EXPECT_EQ(api->InitBoard(&b, nullptr), 0);
    if (b) m_open.push_back(b);
    return b;
  }

  void closeBoard(FALCON_BOARD b) {
    EXPECT_EQ(api->ExitBoard(b), 0);
    for (auto it = m_open.begin(); it != m_open.end(); ++it)
      if (*it == b) {
        m_open.erase(it);
        break;
      }
  }

  // The calls of the channel's board reconfiguration; clip centres the image in the frame.
  Capture setUpBoard(FALCON_BOARD b, int standard, int width, int height, bool clip,
                     int captureMode = FALCON_CAPTURE_FRAME) {
    Capture c;
    c.width = width;
    c.height = height;
    const int fullW = standard == FALCON_VIDEO_NTSC ? 640 : 768;
    const int fullH = standard == FALCON_VIDEO_NTSC ? 480 : 576;
    EXPECT_EQ(api->SetColorMode(b, FALCON_COLOR_BGRX32), 0);
    EXPECT_EQ(api->SetDisplayMode(b, FALCON_DISPLAY_DIB), 0);
    EXPECT_EQ(api->SetVideoMode(b, standard), 0);
    EXPECT_EQ(api->SetCaptureMode(b, captureMode), 0);
    EXPECT_EQ(api->AllocImageMem(b, width, height, 32, &c.mem, &c.id), 0);
    EXPECT_EQ(api->SetImageMem(b, c.mem, c.id), 0);
    if (clip) {
      EXPECT_EQ(api->SetImagePos(b, (fullW - width) / 2, (fullH - height) / 2), 0);
      EXPECT_EQ(api->SetImageSize(b, width, height), 0);
      EXPECT_EQ(api->SetScaler(b, 0.0f, 0.0f), 0);
    } else {
      EXPECT_EQ(api->SetImagePos(b, 0, 0), 0);
      EXPECT_EQ(api->SetImageSize(b, width, height), 0);
      EXPECT_EQ(api->SetScaler(b, 1.0f, 1.0f), 0);
    }
    return c;
  }

  // Freeze and copy, as the channel grabs; empty on failure.
  std::vector<uint8_t> grab(FALCON_BOARD b, const Capture& c) {
    std::vector<uint8_t> image(size_t(c.width) * size_t(c.height) * 4);
    if (api->FreezeVideo(b, FALCON_WAIT) != 0) return {};
    if (api->CopyImageMem(b, c.mem, c.id, reinterpret_cast<char*>(image.data())) != 0) return {};
    return image;
  }

  std::string errorText(FALCON_BOARD b, int* code = nullptr) {
    int c = -1;
    char* text = nullptr;
    EXPECT_EQ(api->GetError(b, &c, &text), 0);
    if (code) *code = c;
    return text ? std::string(text) : std::string();
  }

  const FalconApi* api = nullptr;
  ScopedEnv m_boards{"TELVGATE_FALCON_BOARDS", nullptr};
  ScopedEnv m_fail{"TELVGATE_FALCON_FAIL", nullptr};
  ScopedEnv m_trace{"TELVGATE_FALCON_TRACE", nullptr};

 private:
  platform::FalconLib m_lib;
  std::vector<FALCON_BOARD> m_open;
};
