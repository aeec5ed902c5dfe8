#pragma once
// Shared fixture of the IP camera channel tests: an isolated settings home, an in-process fake
// camera on 127.0.0.1 and a channel pointed at it, with short pauses so a reconnect takes
// milliseconds instead of seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>

#include "base/CSettings.h"
#include "channels/CnlList.h"
#include "endpoint/CIPVideoCnl.h"
#include "endpoint/IPChannelFactory.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"
#include "tools/FakeCam.h"

namespace ipcamtest {

// Decodes a JPEG with libjpeg-turbo; false when it is not a readable picture.
inline bool decodeJpeg(const uint8_t* data, size_t len, int* width, int* height) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  struct Jump {
    static void onError(j_common_ptr c) { throw static_cast<int>(c->err->msg_code); }
  };
  cinfo.err = jpeg_std_error(&jerr);
  jerr.error_exit = &Jump::onError;
  jerr.output_message = [](j_common_ptr) {};
  try {
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), static_cast<unsigned long>(len));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    std::vector<unsigned char> row(cinfo.output_width * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
      unsigned char* p = row.data();
      jpeg_read_scanlines(&cinfo, &p, 1);
    }
    *width = static_cast<int>(cinfo.output_width);
    *height = static_cast<int>(cinfo.output_height);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
  } catch (int) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
}

inline const std::string kAuth = "dXNlcjpwdw==";  // base64 of "user:pw"

class IpcamTest : public ::testing::Test {
 protected:
  void TearDown() override { stopChannel(); cam.reset(); }

  fakecam::Server& startCam(const std::string& family, fakecam::Misbehave m = fakecam::Misbehave::None,
                            std::function<void(fakecam::Options&)> tweak = nullptr, uint16_t port = 0) {
    fakecam::Options o;
    o.family = family;
    o.misbehave = m;
    o.fps = 50;
    if (tweak) tweak(o);
    cam.reset(new fakecam::Server(o));
    EXPECT_TRUE(cam->start(port));
    return *cam;
  }

  std::string section(int type, uint32_t index) {
    return "Channel " + std::to_string(type) + " " + std::to_string(index);
  }

  // Writes the connection settings every test uses; the name has a blank so url_encode shows.
  void configure(int type, uint32_t index, uint16_t port) {
    const std::string s = section(type, index);
    g_settings.writeString(s, "CnlName", "Cam 1");
    g_settings.writeString(s, "CamIPAddr", "127.0.0.1");
    g_settings.writeInt(s, "CamIPPort", port);
    g_settings.writeString(s, "userName", "user");
    g_settings.writeString(s, "userPwd", "pw");
  }

  // Recording on into a temporary folder with the given period in ms.
  void recordingOn(int type, uint32_t index, int periodMs) {
    const std::string s = section(type, index);
    g_settings.writeBool(s, "CnlEventRecActive", true);
    g_settings.writeString(s, "CnlEventRootPath", home.dir().path() + "/rec");
    g_settings.writeInt(s, "CnlEventFramePeriod", periodMs);
  }

  CIPVideoCnl* makeChannel(int type, uint32_t index) {
    cnl.reset(static_cast<CIPVideoCnl*>(createIPChannel(type, index)));
    cnl->setRequestPauseMs(5);
    cnl->setRetryPauseMs(20);
    cnl->setWaitTimeoutNs(300000000ull);
    return cnl.get();
  }

  // init + start; the test expects init to succeed.
  CIPVideoCnl* startChannel(int type, uint32_t index) {
    CIPVideoCnl* c = makeChannel(type, index);
    EXPECT_TRUE(c->init());
    EXPECT_TRUE(c->start());
    return c;
  }

  void stopChannel() {
    if (!cnl) return;
    cnl->stop();
    cnl->join();
    {
      std::lock_guard<std::mutex> g(g_cnlListLock);
      for (auto it = g_cnlList.begin(); it != g_cnlList.end();)
        it = *it == cnl.get() ? g_cnlList.erase(it) : it + 1;
    }
    cnl.reset();
  }

  // Asks the channel for a picture until one comes (bounded).
  bool nextPicture(FrameRec& rec, int ms = 4000) {
    return waitFor([&] { return cnl->getNewFrame(rec); }, ms);
  }

  std::string request(size_t i) {
    auto r = cam->requests();
    return i < r.size() ? r[i] : std::string("<no request ") + std::to_string(i) + ">";
  }

  std::string host() { return "127.0.0.1:" + std::to_string(cam->port()); }

  IsolatedHome home;
  std::unique_ptr<fakecam::Server> cam;
  std::unique_ptr<CIPVideoCnl> cnl;
};

}  // namespace ipcamtest
