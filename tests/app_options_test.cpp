// The command line: our "--" options, the port reader and the configuration address it stores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/AppOptions.h"
#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "tests/support/TestEnv.h"

namespace {

AppOptions parse(std::vector<std::string> args) {
  std::vector<char*> argv;
  static char prog[] = "telvgate";
  argv.push_back(prog);
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return parseOptions(static_cast<int>(argv.size() - 1), argv.data());
}

size_t countLines(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(AppOptions, DoubleDashOptionsAreTakenOutBeforeAddressAndPort) {
  AppOptions o = parse({"--headless", "127.0.0.1", "--bogus", "8080", "extra"});
  EXPECT_TRUE(o.headless);
  EXPECT_FALSE(o.help);
  EXPECT_FALSE(o.version);
  EXPECT_EQ(o.rest, (std::vector<std::string>{"127.0.0.1", "8080", "extra"}));
  EXPECT_EQ(o.unknown, (std::vector<std::string>{"--bogus"}));

  AppOptions v = parse({"--version", "--help", "--"});
  EXPECT_TRUE(v.version);
  EXPECT_TRUE(v.help);
  EXPECT_TRUE(v.unknown.empty());
  EXPECT_TRUE(v.rest.empty());
  // A single dash is not ours: the toolkit's own options (-display) pass through.
  EXPECT_EQ(parse({"-display", ":3"}).rest, (std::vector<std::string>{"-display", ":3"}));
}

TEST(AppOptions, PortAcceptsOnlyDecimalSixteenBitNumbers) {
  unsigned short p = 1;
  EXPECT_TRUE(parsePort("0", &p));
  EXPECT_EQ(p, 0);
  EXPECT_TRUE(parsePort("8080", &p));
  EXPECT_EQ(p, 8080);
  EXPECT_TRUE(parsePort("65535", &p));
  EXPECT_EQ(p, 65535);
  EXPECT_TRUE(parsePort("00080", &p));
  EXPECT_EQ(p, 80);
  p = 7;
  for (const char* bad : {"", "80x", "x80", "65536", "99999", "123456", "-1", "+80", " 80", "8 0",
                          "0x50"}) {
    EXPECT_FALSE(parsePort(bad, &p)) << bad;
    EXPECT_EQ(p, 7) << "a refused text must leave the port alone: " << bad;
  }
}

class CommandLineAddress : public ::testing::Test {
 protected:
  IsolatedHome home;
  std::string ip() { return g_settings.readString("System", "ConfIPAddr", "<none>"); }
  int port() { return g_settings.readInt("System", "ConfIPPort", -1); }
  size_t warnings() {
    return countLines(g_logFile.logText(0), "(Warning) : main : System : Invalid IP address");
  }
};

TEST_F(CommandLineAddress, ValidAddressAndPortAreBothStored) {
  applyCommandLineAddress({"192.168.0.10", "8080"});
  EXPECT_EQ(ip(), "192.168.0.10");
  EXPECT_EQ(port(), 8080);
}

TEST_F(CommandLineAddress, BadPortLogsWarningAndKeepsTheStoredPort) {
  g_settings.writeInt("System", "ConfIPPort", 9000);
  const size_t before = warnings();
  applyCommandLineAddress({"192.168.0.10", "80x"});
  EXPECT_EQ(ip(), "192.168.0.10");
  EXPECT_EQ(port(), 9000);
  EXPECT_EQ(warnings(), before + 1);
}

TEST_F(CommandLineAddress, InvalidAddressIsDroppedSilentlyWhilePortIsStored) {
  g_settings.writeString("System", "ConfIPAddr", "10.0.0.1");
  const size_t before = warnings();
  applyCommandLineAddress({"999.1.1.1", "8080"});
  EXPECT_EQ(ip(), "10.0.0.1");
  EXPECT_EQ(port(), 8080);
  EXPECT_EQ(warnings(), before);
}

TEST_F(CommandLineAddress, FewerThanTwoArgumentsStoreNothing) {
  applyCommandLineAddress({});
  applyCommandLineAddress({"192.168.0.10"});
  EXPECT_EQ(ip(), "<none>");
  EXPECT_EQ(port(), -1);
  // Arguments after the port are ignored.
  applyCommandLineAddress({"127.0.0.1", "81", "junk", "more"});
  EXPECT_EQ(ip(), "127.0.0.1");
  EXPECT_EQ(port(), 81);
}
