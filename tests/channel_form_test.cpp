// The common configuration rows every channel shares: update, form and status.
#include <gtest/gtest.h>

#include "base/CSettings.h"
#include "confserver/ChannelForms.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestEnv.h"

namespace {

class ChannelForm : public ::testing::Test {
 protected:
  static TestChannel::Options opts() {
    TestChannel::Options o;
    o.periodMs = 0;
    return o;
  }
  IsolatedHome home;
  TestChannel ip{opts(), 5, 4};       // an IP channel (type 5, index 4)
  TestChannel analog{opts(), 0, 2};   // an analog channel
  const std::string ipSection = "Channel 5 4";
  const std::string p = "5_4_";

  std::string update(FormFields f, bool expectOk = true) {
    std::string html;
    EXPECT_EQ(channelUpdate(ip, f, html), expectOk);
    return html;
  }
};

bool contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

}  // namespace

TEST_F(ChannelForm, NamingFollowsTypeAndIndex) {
  EXPECT_EQ(ip.fieldPrefix(), "5_4_");
  EXPECT_EQ(ip.sectionName(), "Channel 5 4");
  EXPECT_EQ(analog.sectionName(), "Channel 0 2");
  EXPECT_EQ(ip.logSource(), "Channel 5 4") << "without a name the section names the channel";
  g_settings.writeString(ipSection, "CnlName", "Gate");
  ASSERT_TRUE(ip.init());
  EXPECT_EQ(ip.logSource(), "Gate");
  EXPECT_TRUE(ip.reconnectPending());
  ip.reconf();
  EXPECT_EQ(ip.listEntry().name(), "Gate");
}

TEST_F(ChannelForm, LongNameIsCutTo50WithWarningAndResubmissionIsQuiet) {
  const std::string name51(51, 'n');
  const std::string name50(50, 'n');
  std::string html = update({{p + "CnlName", name51}});
  EXPECT_EQ(html,
            "<P class=warn>The <EM>Channel name</EM> value is too long. Truncate it to '" + name50 +
                "'<P class=upd>Updated the <EM>Channel name</EM> value to '<SPAN class=cnl>" +
                name50 + "</SPAN>'");
  EXPECT_EQ(g_settings.readString(ipSection, "CnlName", ""), name50);
  EXPECT_EQ(update({{p + "CnlName", name50}}), "");
  // init keeps at most 50 characters even of a longer stored name.
  g_settings.writeString(ipSection, "CnlName", name51 + "xyz");
  ASSERT_TRUE(ip.init());
  EXPECT_EQ(ip.name(), name50);
}

TEST_F(ChannelForm, NameIsEscapedInMessagesAndForm) {
  std::string html = update({{p + "CnlName", "<b>\"A&B\""}});
  EXPECT_TRUE(contains(html, "<SPAN class=cnl>&lt;b&gt;&quot;A&amp;B&quot;</SPAN>")) << html;
  std::string form;
  channelForm(ip, form);
  EXPECT_TRUE(contains(form, "value=\"&lt;b&gt;&quot;A&amp;B&quot;\"")) << form;
  EXPECT_FALSE(contains(form, "<b>"));
}

TEST_F(ChannelForm, ComPortRules) {
  // COM7 stores 7, whatever the type.
  EXPECT_EQ(update({{p + "RotorComPort", "COM7"}}),
            "<P class=upd>Updated the <EM>Serial port</EM> value to <STRONG>COM7</STRONG></P>");
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorComPort", 0), 7);
  EXPECT_EQ(update({{p + "RotorComPort", "COM7"}}), "");
  const std::string warn =
      "<P class=warn>The <EM>Serial port</EM> value must be a positive numeric value.</P>";
  // COMX warns even without a pan/tilt head (type none is the default).
  EXPECT_EQ(update({{p + "RotorComPort", "COMX"}}), warn);
  // "7" without COM warns only when a head is configured.
  EXPECT_EQ(update({{p + "RotorComPort", "7"}}), "");
  EXPECT_EQ(update({{p + "RotorType", "autodome"}, {p + "RotorComPort", "7"}}),
            "<P class=upd>Updated the <EM>Pan/Tilt type</EM> value to <STRONG>'autodome'</STRONG></P>" +
                warn);
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorComPort", 0), 7);
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorType", 0), 2);
}

TEST_F(ChannelForm, BaudRateAndAddressAreStoredOrWarnedByType) {
  EXPECT_EQ(update({{p + "RotorBoudRate", "4800"}, {p + "RotorAddress", "12"}}),
            "<P class=upd>Updated the <EM>Serial Baud Rate</EM> value to <STRONG>4800</STRONG></P>"
            "<P class=upd>Updated the <EM>Dome address</EM> value to <STRONG>12</STRONG></P>");
  EXPECT_EQ(update({{p + "RotorBoudRate", "fast"}, {p + "RotorAddress", "x"}}), "")
      << "no head configured: unreadable values are ignored quietly";
  EXPECT_EQ(update({{p + "RotorType", "speeddome"}, {p + "RotorBoudRate", "fast"},
                    {p + "RotorAddress", "x"}}),
            "<P class=upd>Updated the <EM>Pan/Tilt type</EM> value to <STRONG>'speeddome'</STRONG></P>"
            "<P class=warn>The <EM>Serial Baud Rate</EM> value must be a positive numeric value."
            "<P class=warn>The <EM>Dome address</EM> value must be a positive numeric value.");
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorBoudRate", 0), 4800);
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorAddress", 0), 12);
}

TEST_F(ChannelForm, MissingStoredValueCountsAsChange) {
  // "unknown" maps to 0; with nothing stored that is still a change.
  EXPECT_EQ(update({{p + "RotorType", "bogus"}}),
            "<P class=upd>Updated the <EM>Pan/Tilt type</EM> value to <STRONG>'bogus'</STRONG></P>");
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorType", 9), 0);
  EXPECT_EQ(update({{p + "RotorAddress", "0"}}),
            "<P class=upd>Updated the <EM>Dome address</EM> value to <STRONG>0</STRONG></P>");
}

TEST_F(ChannelForm, RefusedRecordingBlockLeavesPanTiltUntouched) {
  std::string html;
  EXPECT_FALSE(channelUpdate(ip, {{p + "CnlEventRecActive", "on"},
                          {p + "CnlEventRootPath", "relative/dir"},
                          {p + "RotorType", "autodome"},
                          {p + "RotorComPort", "COM3"}},
                         html));
  EXPECT_FALSE(g_settings.existingEntry(ipSection, "RotorType"));
  EXPECT_FALSE(g_settings.existingEntry(ipSection, "RotorComPort"));
  EXPECT_FALSE(contains(html, "Pan/Tilt"));
}

TEST_F(ChannelForm, PanTiltBlockOnlyForAnalogChannels) {
  std::string ipForm, analogForm;
  channelForm(ip, ipForm);
  channelForm(analog, analogForm);
  EXPECT_FALSE(contains(ipForm, "RotorType"));
  EXPECT_FALSE(contains(ipForm, "Pan/Tilt"));
  EXPECT_TRUE(contains(analogForm, "Pan/Tilt system"));
  EXPECT_TRUE(contains(analogForm, "name=\"0_2_RotorType\" value=\"none\" checked"));
  EXPECT_TRUE(contains(analogForm, "<OPTION selected>9600</OPTION>"));
  EXPECT_TRUE(contains(analogForm, "<OPTION selected>COM1</OPTION>"));
  // A stored address above 255 is shown as 255; a PelcoD type checks none of the radios.
  g_settings.writeInt("Channel 0 2", "RotorAddress", 300);
  g_settings.writeInt("Channel 0 2", "RotorType", 4);
  analogForm.clear();
  channelForm(analog, analogForm);
  EXPECT_TRUE(contains(analogForm, "<OPTION selected>255</OPTION>"));
  EXPECT_FALSE(contains(analogForm, "RotorType\" value=\"none\" checked"));
  EXPECT_FALSE(contains(analogForm, "checked>Bosch"));
}

TEST_F(ChannelForm, RecordingRowsShowStoredValues) {
  std::string form;
  channelForm(ip, form);
  EXPECT_TRUE(contains(form, "<OPTION value=\"83\" selected>12 frame per second</OPTION>"))
      << "an absent period selects 83 ms";
  EXPECT_TRUE(contains(form, "value=\"off\" checked"));
  EXPECT_TRUE(contains(form, "<OPTION value=\"10000\">1 frame every 10 seconds</OPTION>"));
  EXPECT_TRUE(contains(form, "<OPTION value=\"40\">25 frame per second</OPTION>"));
  EXPECT_TRUE(contains(form, "name=\"5_4_CnlEventDiskQuota\" id=\"5_4_CnlEventDiskQuota\" maxlength=10"));
  g_settings.writeInt(ipSection, "CnlEventAge", 3 * 86400 + 5 * 3600 + 59);
  g_settings.writeInt(ipSection, "CnlEventFramePeriod", 5);  // clamped to 40
  g_settings.writeBool(ipSection, "CnlEventRecActive", true);
  form.clear();
  channelForm(ip, form);
  EXPECT_TRUE(contains(form, "name=\"5_4_CnlEventAgeDays\" id=\"5_4_CnlEventAgeDays\" maxlength=4 style=\"width:50px\" value=\"3\""));
  EXPECT_TRUE(contains(form, "name=\"5_4_CnlEventAgeHours\" id=\"5_4_CnlEventAgeHours\" maxlength=2 style=\"width:30px\" value=\"5\""));
  EXPECT_TRUE(contains(form, "<OPTION value=\"40\" selected>"));
  EXPECT_TRUE(contains(form, "value=\"on\" checked"));
}

TEST_F(ChannelForm, StatusShowsPanTiltRowsOnlyWithAHead) {
  std::string html;
  channelStatus(ip, html);
  EXPECT_TRUE(contains(html, "<TR><TD><STRONG>Pan/Tilt type</STRONG></TD><TD>None</TD></TR>"));
  EXPECT_FALSE(contains(html, "Serial port"));
  g_settings.writeInt(ipSection, "RotorType", 5);
  g_settings.writeInt(ipSection, "RotorComPort", 3);
  html.clear();
  channelStatus(ip, html);
  EXPECT_TRUE(contains(html,
                       "<TR><TD><STRONG>Pan/Tilt type</STRONG></TD><TD>PelcoP</TD></TR>"
                       "<TR><TD>&nbsp;Serial port</TD><TD>3</TD></TR>"
                       "<TR><TD>&nbsp;Serial Baud Rate</TD><TD>9600</TD></TR>"
                       "<TR><TD>&nbsp;Dome address</TD><TD>0</TD></TR>"))
      << html;
}

TEST_F(ChannelForm, PanTiltNumbersMustBePlainDigits) {
  ASSERT_FALSE(update({{p + "RotorType", "autodome"}, {p + "RotorComPort", "COM2"},
                       {p + "RotorBoudRate", "4800"}, {p + "RotorAddress", "12"}})
                   .empty());
  const std::string portWarn =
      "<P class=warn>The <EM>Serial port</EM> value must be a positive numeric value.</P>";
  for (const char* bad : {"COM-3", "COM7x", "COM 7", "COM+7", "COM0", "COM", "COM99999999999"})
    EXPECT_EQ(update({{p + "RotorComPort", bad}}), portWarn) << bad;
  for (const char* bad : {"-5", "7abc", " 7", "+7", "0x10", "4800 baud", ""}) {
    EXPECT_EQ(update({{p + "RotorBoudRate", bad}, {p + "RotorAddress", bad}}),
              "<P class=warn>The <EM>Serial Baud Rate</EM> value must be a positive numeric value."
              "<P class=warn>The <EM>Dome address</EM> value must be a positive numeric value.")
        << bad;
  }
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorComPort", 0), 2);
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorBoudRate", 0), 4800);
  EXPECT_EQ(g_settings.readInt(ipSection, "RotorAddress", 0), 12);
}

TEST_F(ChannelForm, NamesLoseControlCharactersAndAreCutOnACharacterBoundary) {
  // 49 two-byte characters and a three-byte one: 50 characters, 101 bytes.
  std::string name50;
  for (int i = 0; i < 49; ++i) name50 += "\xC3\xA9";
  name50 += "\xE6\x9D\xB1";
  update({{p + "CnlName", "\t" + name50.substr(0, 20) + "\r\n\x01\x7F\xC2\x85" + name50.substr(20) + "\xC3\xA9"}});
  EXPECT_EQ(g_settings.readString(ipSection, "CnlName", ""), name50);
  // A hand-edited name with controls in it is cleaned when read.
  g_settings.writeString(ipSection, "CnlName", "Ga\x1b[2Jte");
  ASSERT_TRUE(ip.init());
  EXPECT_EQ(ip.name(), "Ga[2Jte");
}
