#include "tests/support/TestEnv.h"

namespace {
std::string under(const std::string& dir, const std::string& name) { return name.empty() ? dir : dir + "/" + name; }
}  // namespace

std::string buildTreePath(const std::string& name) { return under(TELVGATE_BINARY_DIR, name); }
std::string sourceTreePath(const std::string& name) { return under(TELVGATE_SOURCE_DIR, name); }
