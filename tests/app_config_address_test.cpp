// The configuration server's announced address: the configure command's URL and the
// configure item's text as the window receives it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/ConfigAddress.h"

namespace {

struct RecordingSink : ConfigAddressSink {
  std::vector<std::string> texts;
  void configItemChanged(const std::string& t) override { texts.push_back(t); }
};

}  // namespace

TEST(ConfigUrl, AllInterfacesAddressOpensLocalhost) {
  EXPECT_EQ(configUrl(CNetAddr("0.0.0.0", 8080)), "http://localhost:8080");
}

TEST(ConfigUrl, PortIsAlwaysWrittenOutEvenEighty) {
  EXPECT_EQ(configUrl(CNetAddr("192.168.1.5", 80)), "http://192.168.1.5:80");
}

TEST(ConfigUrl, AddressesMerelyContainingZerosAreNotMangled) {
  // A plain search-and-replace of "0.0.0.0" would turn these into "1localhost" and the like.
  EXPECT_EQ(configUrl(CNetAddr("10.0.0.0", 8080)), "http://10.0.0.0:8080");
  EXPECT_EQ(configUrl(CNetAddr("100.0.0.0", 80)), "http://100.0.0.0:80");
  EXPECT_EQ(configUrl(CNetAddr("10.0.0.0", 0)), "http://10.0.0.0:0");
}

// One test for the whole lifecycle: the announcement state is process-wide.
TEST(ConfigAnnouncement, ItemTextFollowsEachAnnouncementAndReachesOnlyAnInstalledSink) {
  RecordingSink sink;
  setConfigAddressSink(&sink);
  announceConfigAddress(CNetAddr("0.0.0.0", 8080));
  EXPECT_EQ(configItemText(), "[0.0.0.0:8080] configure");
  EXPECT_EQ(configAddress(), CNetAddr("0.0.0.0", 8080));

  announceConfigAddress(CNetAddr("127.0.0.1", 41234), true);
  EXPECT_EQ(configItemText(), "[127.0.0.1:41234] configure (OS selected port)");
  announceConfigAddress(CNetAddr("127.0.0.1", 8081), false);
  EXPECT_EQ(configItemText(), "[127.0.0.1:8081] configure");
  EXPECT_EQ(sink.texts, (std::vector<std::string>{"[0.0.0.0:8080] configure",
                                                  "[127.0.0.1:41234] configure (OS selected port)",
                                                  "[127.0.0.1:8081] configure"}));

  setConfigAddressSink(nullptr);
  announceConfigAddress(CNetAddr("127.0.0.1", 9));
  EXPECT_EQ(sink.texts.size(), 3u) << "a removed sink must not be called";

  // A sink installed after an announcement is brought up to date at once.
  RecordingSink late;
  setConfigAddressSink(&late);
  EXPECT_EQ(late.texts, (std::vector<std::string>{"[127.0.0.1:9] configure"}));
  setConfigAddressSink(nullptr);
}
