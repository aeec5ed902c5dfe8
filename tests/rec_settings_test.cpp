// The recorder's settings: the recording block of a submitted form (exact messages, refused
// values, numbers that must not wrap), init() and the status rows.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "confserver/ChannelForms.h"
#include "recording/CRecVideoClient.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestEnv.h"

namespace {

const char* kSection = "Channel 1 1";

class RecSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestChannel::Options opt;
    opt.periodMs = 0;
    channel = std::make_unique<TestChannel>(opt);  // not started: no recording thread
  }
  CRecVideoClient* rec() { return recorderOf(*channel); }
  // Submits the given recording fields (names without the channel prefix).
  std::string submit(const std::map<std::string, std::string>& plain, bool* result = nullptr) {
    FormFields f;
    for (const auto& kv : plain) f["1_1_" + kv.first] = kv.second;
    std::string html;
    bool ok = recordingUpdate(*rec(), "1_1_", kSection, f, html);
    if (result) *result = ok;
    return html;
  }
  IsolatedHome home;
  std::unique_ptr<TestChannel> channel;
};

TEST_F(RecSettingsTest, FullBlockIsStoredWithExactMessages) {
  bool ok = false;
  std::string html = submit({{"CnlEventRecActive", "on"},
                             {"CnlEventRootPath", "/data//rec/./"},
                             {"CnlEventDiskQuota", "100"},
                             {"CnlEventAgeDays", "2"},
                             {"CnlEventAgeHours", "3"},
                             {"CnlEventFramePeriod", "80"}},
                            &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(html,
            "<P class=upd>Updated the <EM>Rec. root directory path</EM> value to "
            "'<STRONG>/data/rec/</STRONG>'</P>"
            "<P class=upd>Updated the <EM>Rec. disk quota</EM> value to <STRONG>100</STRONG></P>"
            "<P class=upd>Updated the <EM>Rec. max age</EM> value to <STRONG>2days, 3hours</STRONG></P>"
            "<P class=upd>Updated the <EM>Frame rate</EM> value to <STRONG>12.5 fps</STRONG></P>"
            "<P class=upd>Event recording <STRONG>activated</STRONG></P>");
  EXPECT_EQ(g_settings.readString(kSection, "CnlEventRootPath", ""), "/data/rec/");
  EXPECT_EQ(g_settings.readUnsigned(kSection, "CnlEventDiskQuota", 0), 100u);
  EXPECT_EQ(g_settings.readInt(kSection, "CnlEventAge", 0), 2 * 86400 + 3 * 3600);
  EXPECT_TRUE(g_settings.readBool(kSection, "CnlEventRecActive", false));

  // After init the same submission changes nothing.
  EXPECT_TRUE(rec()->init());
  EXPECT_EQ(submit({{"CnlEventRecActive", "on"},
                    {"CnlEventRootPath", "/data/rec"},
                    {"CnlEventDiskQuota", "100"},
                    {"CnlEventAgeDays", "2"},
                    {"CnlEventAgeHours", "3"},
                    {"CnlEventFramePeriod", "80"}}),
            "");
  EXPECT_EQ(rec()->channelDir(), "/data/rec/test_1/");
  EXPECT_EQ(rec()->diskQuotaKB(), 102400u);
  EXPECT_EQ(rec()->maxAge(), uint64_t(2 * 86400 + 3 * 3600) * 1000000000ull);
  EXPECT_EQ(rec()->periodNs(), 80000000ull);

  EXPECT_EQ(submit({{"CnlEventRecActive", "off"}, {"CnlEventDiskQuota", "0"}}),
            "<P class=upd>Updated the <EM>Rec. disk quota</EM> value to <STRONG>&lt;no limit&gt;</STRONG></P>"
            "<P class=upd>Event recording <STRONG>deactivated</STRONG></P>");
}

TEST_F(RecSettingsTest, BadRootRefusesActivation) {
  size_t log0 = g_logFile.lineCount();
  bool ok = true;
  EXPECT_EQ(submit({{"CnlEventRecActive", "on"}, {"CnlEventRootPath", "rec/here"}}, &ok),
            "<P class=warn>The <EM>Rec. root directory path</EM> path must be absolute.</P>"
            "<P class=warn>Unable to activate recording due to previous errors.</P>");
  EXPECT_FALSE(ok);
  EXPECT_FALSE(g_settings.existingEntry(kSection, "CnlEventRecActive"));
  EXPECT_NE(g_logFile.logText(unsigned(g_logFile.lineCount() - log0))
                .find("CRecVideoClient::update : Rec. cli. on cnl. Channel 1 1 : The recording root "
                      "path must be an absolute path."),
            std::string::npos);

  EXPECT_EQ(submit({{"CnlEventRecActive", "on"}, {"CnlEventRootPath", "/" + std::string(300, 'a')}}, &ok),
            "<P class=warn>The <EM>Rec. root directory path</EM> string is too long (max 256 chars).</P>"
            "<P class=warn>Unable to activate recording due to previous errors.</P>");
  EXPECT_EQ(submit({{"CnlEventRecActive", "on"}}, &ok),
            "<P class=warn>The <EM>Rec. root directory path</EM> path is missing.</P>"
            "<P class=warn>Unable to activate recording due to previous errors.</P>");
  // Switched off, a bad path is not worth a warning.
  EXPECT_EQ(submit({{"CnlEventRecActive", "off"}, {"CnlEventRootPath", "rel"}}, &ok), "");
  EXPECT_TRUE(ok);
}

TEST_F(RecSettingsTest, RootsClimbingOrInSystemFoldersAreRefused) {
  const std::string refused =
      "<P class=warn>The <EM>Rec. root directory path</EM> path must be absolute.</P>"
      "<P class=warn>Unable to activate recording due to previous errors.</P>";
  for (const char* bad : {"/var/rec/../../etc", "/data/rec/..", "\\srv\\..\\rec", "/", "//",
                          "/etc", "//etc//rec/", "/usr/local/rec", "/bin", "/sbin/x", "/lib",
                          "/lib64/rec", "/boot/r", "/dev/shm/rec", "/proc/1", "/sys/x", "/run/rec"}) {
    bool ok = true;
    EXPECT_EQ(submit({{"CnlEventRecActive", "on"}, {"CnlEventRootPath", bad}}, &ok), refused) << bad;
    EXPECT_FALSE(ok) << bad;
    EXPECT_FALSE(g_settings.existingEntry(kSection, "CnlEventRootPath")) << bad;
    // A stored one (an older store, or edited by hand) is refused too.
    g_settings.writeBool(kSection, "CnlEventRecActive", true);
    g_settings.writeString(kSection, "CnlEventRootPath", bad);
    EXPECT_FALSE(rec()->init()) << bad;
    EXPECT_FALSE(rec()->active()) << bad;
    g_settings.deleteEntry(kSection, "CnlEventRootPath");
    g_settings.deleteEntry(kSection, "CnlEventRecActive");
  }
  for (const char* good : {"/srv/etc/rec", "/var/rec", "/running", "/data/..rec", "/tmp/rec"}) {
    g_settings.deleteEntry(kSection, "CnlEventRootPath");
    bool ok = false;
    submit({{"CnlEventRecActive", "on"}, {"CnlEventRootPath", good}}, &ok);
    EXPECT_TRUE(ok) << good;
    EXPECT_TRUE(rec()->init()) << good;
    EXPECT_TRUE(rec()->active()) << good;
  }
}

TEST_F(RecSettingsTest, QuotaNeverWrapsIntoASmallLimit) {
  g_settings.writeUnsigned(kSection, "CnlEventDiskQuota", 50);
  for (const char* huge : {"4194304", "4294967297", "18446744073709551617", "99999999999999999999999"}) {
    EXPECT_EQ(submit({{"CnlEventDiskQuota", huge}}), "") << huge;
    EXPECT_EQ(g_settings.readUnsigned(kSection, "CnlEventDiskQuota", 0), 50u) << huge;
  }
  EXPECT_EQ(submit({{"CnlEventDiskQuota", "4194303"}}),
            "<P class=upd>Updated the <EM>Rec. disk quota</EM> value to <STRONG>4194303</STRONG></P>");
  EXPECT_EQ(submit({{"CnlEventRecActive", "on"}, {"CnlEventRootPath", "/r"}, {"CnlEventDiskQuota", "lots"}}),
            "<P class=upd>Updated the <EM>Rec. root directory path</EM> value to '<STRONG>/r/</STRONG>'</P>"
            "<P class=warn>The <EM>Rec. disk quota</EM> value must be a positive numeric value.</P>"
            "<P class=upd>Event recording <STRONG>activated</STRONG></P>");

  // A hand-edited store: a quota whose KB do not fit 32 bits is refused by init.
  g_settings.writeUnsigned(kSection, "CnlEventDiskQuota", 5000000);
  EXPECT_TRUE(rec()->init());
  EXPECT_EQ(rec()->diskQuotaKB(), 0u);
  g_settings.writeUnsigned(kSection, "CnlEventDiskQuota", 4194303);
  EXPECT_TRUE(rec()->init());
  EXPECT_EQ(rec()->diskQuotaKB(), 4194303u * 1024u);
}

TEST_F(RecSettingsTest, MaxAgeRefusesOverflowAndNegatives) {
  const std::string warn =
      "<P class=warn>The <EM>Rec. max age</EM> (days and hours) values must be positive numeric "
      "values.</P>";
  g_settings.writeInt(kSection, "CnlEventAge", 3600);
  std::map<std::string, std::string> on = {{"CnlEventRecActive", "on"}, {"CnlEventRootPath", "/r"}};
  for (auto bad : std::vector<std::pair<std::string, std::string>>{
           {"24856", "0"}, {"24855", "99"}, {"99999", "99"}, {"-1", "0"}, {"x", "1"}, {"1", "-2"}}) {
    auto f = on;
    f["CnlEventAgeDays"] = bad.first;
    f["CnlEventAgeHours"] = bad.second;
    EXPECT_NE(submit(f).find(warn), std::string::npos) << bad.first << "/" << bad.second;
    EXPECT_EQ(g_settings.readInt(kSection, "CnlEventAge", 0), 3600);
  }
  EXPECT_EQ(submit({{"CnlEventAgeDays", "24855"}, {"CnlEventAgeHours", "0"}}),
            "<P class=upd>Updated the <EM>Rec. max age</EM> value to <STRONG>24855days, 0hours</STRONG></P>");
  EXPECT_EQ(submit({{"CnlEventAgeDays", "0"}, {"CnlEventAgeHours", "0"}}),
            "<P class=upd>Updated the <EM>Rec. max age</EM> value to <STRONG>&lt;no limit&gt;</STRONG></P>");
  // Hours alone keep the stored days.
  g_settings.writeInt(kSection, "CnlEventAge", 2 * 86400 + 3600);
  EXPECT_EQ(submit({{"CnlEventAgeHours", "5"}}),
            "<P class=upd>Updated the <EM>Rec. max age</EM> value to <STRONG>2days, 5hours</STRONG></P>");
}

TEST_F(RecSettingsTest, FrameRateIsClamped) {
  EXPECT_EQ(submit({{"CnlEventFramePeriod", "5"}}),
            "<P class=upd>Updated the <EM>Frame rate</EM> value to <STRONG>25.0 fps</STRONG></P>");
  EXPECT_EQ(g_settings.readInt(kSection, "CnlEventFramePeriod", 0), 40);
  EXPECT_EQ(submit({{"CnlEventFramePeriod", "4294967336"}}),
            "<P class=upd>Updated the <EM>Frame rate</EM> value to <STRONG>0.1 fps</STRONG></P>");
  EXPECT_EQ(g_settings.readInt(kSection, "CnlEventFramePeriod", 0), 10000);
  EXPECT_EQ(submit({{"CnlEventRecActive", "off"}, {"CnlEventFramePeriod", "fast"}}), "");
}

TEST_F(RecSettingsTest, InitReadsAndRefuses) {
  size_t log0 = g_logFile.lineCount();
  g_settings.writeBool(kSection, "CnlEventRecActive", true);
  EXPECT_FALSE(rec()->init());
  EXPECT_FALSE(rec()->active());
  g_settings.writeString(kSection, "CnlEventRootPath", "relative/path");
  EXPECT_FALSE(rec()->init());
  std::string log = g_logFile.logText(unsigned(g_logFile.lineCount() - log0));
  EXPECT_NE(log.find("CRecVideoClient::init : Rec. cli. on cnl. Channel 1 1 : The <EM>Rec. root "
                     "directory path</EM> path is missing."),
            std::string::npos);
  EXPECT_NE(log.find("The recording root path must be an absolute path."), std::string::npos);

  g_settings.writeString(kSection, "CnlEventRootPath", "/srv//video/.");
  g_settings.writeInt(kSection, "CnlEventFramePeriod", 7);
  g_settings.writeInt(kSection, "CnlEventAge", -5);
  EXPECT_TRUE(rec()->init());
  EXPECT_TRUE(rec()->active());
  EXPECT_EQ(rec()->channelDir(), "/srv/video/test_1/");
  EXPECT_EQ(rec()->periodNs(), 40000000ull);
  EXPECT_EQ(rec()->maxAge(), 0u) << "a negative age is refused, not turned into a huge one";
  g_settings.writeInt(kSection, "CnlEventFramePeriod", 20000);
  EXPECT_TRUE(rec()->init());
  EXPECT_EQ(rec()->periodNs(), 10000000000ull);
}

TEST_F(RecSettingsTest, StatusRows) {
  std::string html;
  recordingStatus(*rec(), html);
  EXPECT_EQ(html, "<TR><TD><STRONG>Event recording</STRONG></TD><TD>deactivated</TD></TR>");

  g_settings.writeBool(kSection, "CnlEventRecActive", true);
  g_settings.writeString(kSection, "CnlEventRootPath", "/srv/rec");
  g_settings.writeUnsigned(kSection, "CnlEventDiskQuota", 2048);
  g_settings.writeInt(kSection, "CnlEventAge", 86400 + 3600 + 60);
  g_settings.writeInt(kSection, "CnlEventFramePeriod", 80);
  ASSERT_TRUE(rec()->init());
  html.clear();
  recordingStatus(*rec(), html);
  EXPECT_EQ(html,
            "<TR><TD><STRONG>Event recording</STRONG></TD><TD>activated</TD></TR>"
            "<TR><TD>&nbsp;Rec. root directory path</TD><TD><CODE>/srv/rec/test_1/</CODE></TD></TR>"
            "<TR><TD>&nbsp;Rec. disk quota</TD><TD>2.0Gb</TD></TR>"
            "<TR><TD>&nbsp;Rec. max age:</TD><TD>1days 1hours 1minutes</TD></TR>"
            "<TR><TD>&nbsp;Frame rate:</TD><TD>12 fps</TD></TR>");

  g_settings.writeUnsigned(kSection, "CnlEventDiskQuota", 1);
  g_settings.writeInt(kSection, "CnlEventAge", 0);
  g_settings.writeInt(kSection, "CnlEventFramePeriod", 4000);
  ASSERT_TRUE(rec()->init());
  html.clear();
  recordingStatus(*rec(), html);
  EXPECT_NE(html.find("<TD>1024kb</TD>"), std::string::npos) << html;
  EXPECT_NE(html.find("<TD>no limit</TD>"), std::string::npos);
  EXPECT_NE(html.find("<TD>1 frame every 4s</TD>"), std::string::npos);
}

}  // namespace
