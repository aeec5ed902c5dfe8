// Settings store: typed round trips, defaults, stable section order, persistence across a
// reload from storage, and concurrent use from several threads.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>
#include <vector>

#include "base/CSettings.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestEnv.h"

TEST(Settings, MissingEntriesGiveTheDefault) {
  IsolatedHome home;
  EXPECT_EQ(g_settings.readString("System", "ConfIPAddr", "0.0.0.0"), "0.0.0.0");
  EXPECT_EQ(g_settings.readInt("System", "ConfIPPort", 0), 0);
  EXPECT_EQ(g_settings.readUnsigned("System", "LogFileSize", 7u), 7u);
  EXPECT_TRUE(g_settings.readBool("Channel 1 5", "CnlEventRecActive", true));
  EXPECT_FALSE(g_settings.existingSection("System"));
}

TEST(Settings, TypedValuesRoundTripInMemory) {
  IsolatedHome home;
  g_settings.writeString("Channel 1 5", "CamIPAddr", "cam.example:8080");
  g_settings.writeInt("Channel 1 5", "CamIPPort", -12);
  g_settings.writeUnsigned("Channel 1 5", "CnlEventDiskQuota", 4000000000u);
  g_settings.writeBool("Channel 1 5", "CnlEventRecActive", true);
  EXPECT_EQ(g_settings.readString("Channel 1 5", "CamIPAddr", ""), "cam.example:8080");
  EXPECT_EQ(g_settings.readInt("Channel 1 5", "CamIPPort", 0), -12);
  EXPECT_EQ(g_settings.readUnsigned("Channel 1 5", "CnlEventDiskQuota", 0), 4000000000u);
  EXPECT_TRUE(g_settings.readBool("Channel 1 5", "CnlEventRecActive", false));
  // A text that is no number reads as the default.
  EXPECT_EQ(g_settings.readInt("Channel 1 5", "CamIPAddr", 77), 77);
}

TEST(Settings, EntriesAndSectionsCanBeDeleted) {
  IsolatedHome home;
  g_settings.writeString("Admins", "alice", "pw1");
  g_settings.writeString("Admins", "bob", "pw2");
  g_settings.deleteEntry("Admins", "alice");
  EXPECT_FALSE(g_settings.existingEntry("Admins", "alice"));
  EXPECT_TRUE(g_settings.existingEntry("Admins", "bob"));
  g_settings.deleteSection("Admins");
  EXPECT_FALSE(g_settings.existingSection("Admins"));
  EXPECT_TRUE(g_settings.sectionEntries("Admins").empty());
}

TEST(Settings, SectionsAndEntriesComeSorted) {
  IsolatedHome home;
  const char* names[] = {"Channel 3 7", "System", "Channel 1 10", "Admins", "Channel 1 2"};
  for (const char* n : names) g_settings.writeInt(n, "x", 1);
  std::vector<std::string> expected = {"Admins", "Channel 1 10", "Channel 1 2", "Channel 3 7",
                                       "System"};
  EXPECT_EQ(g_settings.sectionNames(), expected);
  g_settings.writeString("Admins", "zed", "1");
  g_settings.writeString("Admins", "amy", "2");
  auto entries = g_settings.sectionEntries("Admins");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].first, "amy");
  EXPECT_EQ(entries[1].first, "x");
  EXPECT_EQ(entries[2].first, "zed");
}

TEST(Settings, WrittenSettingsSurviveAReloadAndAwkwardTextsStayExact) {
  IsolatedHome home;
  const std::string awkward = " lead \"quoted\" back\\slash\ttab = # Gr\xC3\xBC\xC3\x9F" "e ";
  g_settings.writeString("Channel 1 5", "CnlName", awkward);
  g_settings.writeString("Channel 1 5", "Empty", "");
  g_settings.writeInt("System", "ConfIPPort", 8080);
  ASSERT_TRUE(g_settings.writeToStorage());
  struct stat st;
  ASSERT_EQ(stat(home.settingsFile().c_str(), &st), 0) << home.settingsFile();

  g_settings.load();  // what a restarted process does
  EXPECT_EQ(g_settings.readString("Channel 1 5", "CnlName", "?"), awkward);
  EXPECT_TRUE(g_settings.existingEntry("Channel 1 5", "Empty"));
  EXPECT_EQ(g_settings.readString("Channel 1 5", "Empty", "?"), "");
  EXPECT_EQ(g_settings.readInt("System", "ConfIPPort", 0), 8080);
}

TEST(Settings, ChangesStayInMemoryUntilWritten) {
  IsolatedHome home;
  g_settings.writeInt("System", "ConfIPPort", 1234);
  g_settings.load();
  EXPECT_EQ(g_settings.readInt("System", "ConfIPPort", 0), 0);
}

TEST(Settings, AHandWrittenFileIsRead) {
  IsolatedHome home;
  ASSERT_EQ(system(("mkdir -p '" + home.dir().path() + "/.foxrc/TELVORA'").c_str()), 0);
  ASSERT_TRUE(writeFile(home.settingsFile(),
                        "[Channel 1 5]\nCamIPAddr=10.1.2.3\n\n[System]\nConfIPPort=0x10\n"));
  g_settings.load();
  EXPECT_EQ(g_settings.readString("Channel 1 5", "CamIPAddr", ""), "10.1.2.3");
  EXPECT_EQ(g_settings.readInt("System", "ConfIPPort", 0), 16);
  EXPECT_EQ(g_settings.readString("Channel 1 5", "CnlName", "none"), "none");
}

TEST(Settings, ConcurrentReadersAndWritersDoNotCorruptTheStore) {
  IsolatedHome home;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string sec = "Channel 1 " + std::to_string(t);
      for (int i = 0; i < 2000; ++i) {
        g_settings.writeInt(sec, "CamIPPort", i);
        g_settings.readInt(sec, "CamIPPort", -1);
        g_settings.writeString(sec, "k" + std::to_string(i % 17), "v");
        if (i % 100 == 0) g_settings.sectionNames();
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(g_settings.readInt("Channel 1 " + std::to_string(t), "CamIPPort", -1), 1999);
}

TEST(Settings, NamesTheFileCannotKeepAreRefusedAndEmptyNamesNeverAbort) {
  IsolatedHome home;
  // An empty name is fatal to the toolkit's registry in every operation.
  g_settings.writeString("", "k", "v");
  g_settings.writeString("Admins", "", "v");
  g_settings.writeInt("Admins", "", 1);
  EXPECT_EQ(g_settings.readString("Admins", "", "def"), "def");
  EXPECT_EQ(g_settings.readInt("", "k", 3), 3);
  EXPECT_FALSE(g_settings.existingEntry("Admins", ""));
  EXPECT_FALSE(g_settings.existingSection(""));
  g_settings.deleteEntry("Admins", "");
  g_settings.deleteSection("");
  EXPECT_TRUE(g_settings.sectionEntries("").empty());
  // A name that starts with a NUL byte is an empty name to the toolkit.
  const std::string nul("\0x", 2);
  EXPECT_FALSE(g_settings.existingEntry("Admins", nul));
  EXPECT_EQ(g_settings.readString(nul, "k", "def"), "def");
  g_settings.deleteEntry("Admins", nul);
  g_settings.deleteSection(nul);
  // Names that would not read back, or would damage the entries after them.
  for (const char* bad : {"a=b", "a]b", "[x]", "a\nb", "a\rb", "a\tb", " a", "a ", "#a", ";a"}) {
    g_settings.writeString("Admins", bad, "pw");
    g_settings.writeString(bad, "key", "v");
    EXPECT_FALSE(g_settings.existingEntry("Admins", bad)) << bad;
    EXPECT_FALSE(g_settings.existingSection(bad)) << bad;
  }
  g_settings.writeString("Admins", "after", "x");
  ASSERT_TRUE(g_settings.writeToStorage());
  g_settings.load();
  EXPECT_EQ(g_settings.sectionNames(), std::vector<std::string>{"Admins"});
  EXPECT_EQ(g_settings.readString("Admins", "after", ""), "x");
}

TEST(Settings, ValuesTheFileWouldCutAreRefused) {
  IsolatedHome home;
  const std::string ok(1500, 'p'), tooLong(2500, 'p');
  std::string umlauts;  // 1200 bytes, but each is written as a four-character escape
  for (int i = 0; i < 600; ++i) umlauts += "\xC3\xA4";
  g_settings.writeString("Admins", "ok", ok);
  g_settings.writeString("Admins", "long", tooLong);
  g_settings.writeString("Admins", "escaped", umlauts);
  g_settings.writeString("Admins", "del", "a\x7f" "b");
  EXPECT_FALSE(g_settings.existingEntry("Admins", "long"));
  EXPECT_FALSE(g_settings.existingEntry("Admins", "escaped"));
  EXPECT_FALSE(g_settings.existingEntry("Admins", "del"));
  ASSERT_TRUE(g_settings.writeToStorage());
  g_settings.load();
  EXPECT_EQ(g_settings.readString("Admins", "ok", ""), ok);
}

TEST(Settings, StoredFileAndFolderAreOwnerOnlyWhateverTheUmask) {
  IsolatedHome home;
  const std::string folder = home.dir().path() + "/.foxrc/TELVORA";
  ASSERT_EQ(system(("mkdir -p '" + folder + "' && chmod 0777 '" + folder + "'").c_str()), 0);
  const mode_t old = umask(0);
  g_settings.writeString("Admins", "bob", "secret");
  const bool written = g_settings.writeToStorage();
  umask(old);
  ASSERT_TRUE(written);
  struct stat st;
  ASSERT_EQ(stat(home.settingsFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // A file the owner made read-only stays so.
  ASSERT_EQ(chmod(home.settingsFile().c_str(), 0400), 0);
  ASSERT_TRUE(g_settings.writeToStorage());
  ASSERT_EQ(stat(home.settingsFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0400u);
}
