// "/control/control": the parameter list and change answers, what they store, and that a
// change is serialised with the channel's other configuration steps.
#include <atomic>
#include <string>
#include <thread>

#include "confserver/ChannelForms.h"
#include "tests/endpoint_fixture.h"

using namespace endpointtest;

namespace {

const char kHead[] = "HTTP/1.1 200 OK\r\n\r\n";
const char kSection[] = "Channel 0 1";

std::string control(uint16_t port, const std::string& query) {
  return get(port, "/control/control?" + query);
}

}  // namespace

TEST(EndpointControl, ListAnswers) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  EXPECT_EQ(std::string(kHead) + "recording_activ=disable\r\n",
            control(rig.port, "list&section=recording"));
  g_settings.writeBool(kSection, "CnlEventRecActive", true);
  EXPECT_EQ(std::string(kHead) + "recording_activ=enable\r\n",
            control(rig.port, "list&section=recording"));

  g_settings.writeString(kSection, "ImageSize", "qvga");
  EXPECT_EQ(std::string(kHead) +
                "size=CIF.(320x240) # D-1PAL.(768x576), VGA.(640x480), VGA2.(640x240), "
                "QVGA.(320x240)\nquality=70 # 10, 20, 30, 40, 50, 60, 70, 80, 90\n"
                "#-P size \"Resolution\": \"D-1PAL.(768x576)\", \"VGA.(640x480)\", "
                "\"VGA2.(640x240)\", \"CIF.(320x240)\"\n"
                "#-P quality \"Quality\": \"10%\", \"20%\", \"30%\", \"40%\", \"50%\", \"60%\", "
                "\"70%\", \"80%\", \"90%\"\n",
            control(rig.port, "list&section=telvpegparam"));
  g_settings.writeString(kSection, "ImageSize", "cif");
  EXPECT_EQ(0u, control(rig.port, "list&section=telvpegparam").find(std::string(kHead) +
                                                                    "size=Unknown # "));

  // Unknown section, or neither list nor set: an empty body; a list never changes anything.
  const int inits = rig.cnl->initCalls();
  EXPECT_EQ(kHead, control(rig.port, "list&section=other&quality=50"));
  EXPECT_EQ(kHead, control(rig.port, "section=recording&quality=50"));
  EXPECT_EQ(inits, rig.cnl->initCalls());
  EXPECT_FALSE(g_settings.existingEntry(kSection, "ImageQuality"));
}

TEST(EndpointControl, SetStoresAndRunsInit) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  int inits = rig.cnl->initCalls();
  EXPECT_EQ(std::string(kHead) + "recording_activ=enable\r\nquality=10\r\n",
            control(rig.port, "set&section=recording&recording_activ=enable&quality=5"));
  EXPECT_TRUE(g_settings.readBool(kSection, "CnlEventRecActive", false));
  EXPECT_EQ(10, g_settings.readInt(kSection, "ImageQuality", 0));
  EXPECT_EQ(++inits, rig.cnl->initCalls());

  EXPECT_EQ(std::string(kHead) + "recording_activ=disable\r\n",
            control(rig.port, "set&section=recording&recording_activ=Enable&quality=x"));
  EXPECT_FALSE(g_settings.readBool(kSection, "CnlEventRecActive", true));
  EXPECT_EQ(10, g_settings.readInt(kSection, "ImageQuality", 0));

  g_settings.writeString(kSection, "ImageSize", "vga");
  EXPECT_EQ(std::string(kHead) + "size=qvga\r\nquality=90\r\n",
            control(rig.port, "set&section=telvpegparam&size=QVGA.(320x240)&quality=95"));
  EXPECT_EQ("qvga", g_settings.readString(kSection, "ImageSize", ""));
  EXPECT_EQ(90, g_settings.readInt(kSection, "ImageQuality", 0));

  // The list label of qvga is not a size a set request knows: nothing changes.
  EXPECT_EQ(std::string(kHead) + "size=Unknown\r\n",
            control(rig.port, "set&section=telvpegparam&size=CIF.(320x240)"));
  EXPECT_EQ("qvga", g_settings.readString(kSection, "ImageSize", ""));

  // Any other section still takes the quality.
  EXPECT_EQ(std::string(kHead) + "quality=40\r\n", control(rig.port, "set&section=x&quality=40"));
  EXPECT_EQ(inits + 4, rig.cnl->initCalls());
}

TEST(EndpointControl, ChangesWaitForTheChannelsConfigLock) {
  Rig rig(0);
  ASSERT_TRUE(rig.start());
  std::atomic<bool> answered{false}, updated{false};
  std::unique_lock<std::mutex> held(rig.cnl->configLock());
  std::thread request([&] {
    control(rig.port, "set&section=recording&recording_activ=enable");
    answered = true;
  });
  std::thread update([&] {
    std::string html;
    channelUpdate(*rig.cnl, {{"0_1_CnlIPPort", "0"}}, html);
    updated = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(answered.load());
  EXPECT_FALSE(updated.load());
  EXPECT_FALSE(g_settings.existingEntry(kSection, "CnlEventRecActive"));
  held.unlock();
  request.join();
  update.join();
  EXPECT_TRUE(g_settings.readBool(kSection, "CnlEventRecActive", false));
}

namespace {

// A channel whose picture size lives in a section shared with others, as the inputs of one
// board keep theirs.
class SharedSizeChannel : public TestNetChannel {
 public:
  SharedSizeChannel() : TestNetChannel(0) {}
  std::string imageSizeSection() override { return "Board 0"; }
  void storeImageSize(const std::string& keyword) override {
    g_settings.writeString("Board 0", "ImageSize", keyword);
  }
};

}  // namespace

TEST(EndpointControl, SizeGoesThroughTheChannelsOwnSizeSection) {
  IsolatedHome home;
  SharedSizeChannel cnl;
  configure(cnl, 0);
  ASSERT_TRUE(cnl.startChannel());
  const uint16_t port = cnl.waitListening();
  ASSERT_NE(0, port);
  g_settings.writeString("Board 0", "ImageSize", "d-1pal");
  EXPECT_EQ(0u, control(port, "list&section=telvpegparam")
                    .find(std::string(kHead) + "size=D-1PAL.(768x576) # "));
  EXPECT_EQ(std::string(kHead) + "size=vga2\r\n",
            control(port, "set&section=telvpegparam&size=VGA2.(640x240)"));
  EXPECT_EQ("vga2", g_settings.readString("Board 0", "ImageSize", ""));
  EXPECT_FALSE(g_settings.existingEntry(kSection, "ImageSize"));
}
