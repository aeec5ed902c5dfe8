// Every stored fuzz input (seeds and the inputs of faults once found) runs through the same
// invariant checks as the fuzz targets, so a fixed fault stays fixed in the normal suite.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/checks/FuzzChecks.h"
#include "tests/support/TestEnv.h"

namespace {

std::vector<std::string> corpusFiles(const std::string& dir) {
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzCorpus, EveryStoredInputKeepsItsTargetsInvariants) {
  for (const fuzzcheck::Target& t : fuzzcheck::targets()) {
    const std::vector<std::string> files =
        corpusFiles(sourceTreePath(std::string("tests/fuzz/corpus/") + t.name));
    EXPECT_FALSE(files.empty()) << "no corpus for " << t.name;
    for (const std::string& file : files) {
      std::ifstream in(file, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ("", t.check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) << file;
    }
  }
}

}  // namespace
