#include "tests/support/TestEnv.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/CSettings.h"

namespace {

void removeTree(const std::string& path) {
  std::string cmd = "rm -rf '" + path + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/telvgate-test-XXXXXX";
  if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
  m_path = tmpl;
}

TempDir::~TempDir() { removeTree(m_path); }

IsolatedHome::IsolatedHome() {
  const char* h = std::getenv("HOME");
  const char* f = std::getenv("FOXDIR");
  m_hadHome = h != nullptr;
  m_hadFoxDir = f != nullptr;
  if (h) m_oldHome = h;
  if (f) m_oldFoxDir = f;
  mkdir((m_dir.path() + "/foxdir").c_str(), 0755);
  setenv("HOME", m_dir.path().c_str(), 1);
  setenv("FOXDIR", (m_dir.path() + "/foxdir").c_str(), 1);
  g_settings.load();
}

IsolatedHome::~IsolatedHome() {
  g_settings.clear();
  if (m_hadHome) setenv("HOME", m_oldHome.c_str(), 1); else unsetenv("HOME");
  if (m_hadFoxDir) setenv("FOXDIR", m_oldFoxDir.c_str(), 1); else unsetenv("FOXDIR");
}

std::string IsolatedHome::settingsFile() const {
  return m_dir.path() + "/.foxrc/TELVORA/TelvGate";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), std::streamsize(data.size()));
  return bool(out);
}

void findFiles(const std::string& dir, const std::string& name, std::vector<std::string>* out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    std::string p = dir + "/" + n;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      findFiles(p, name, out);
    else if (n == name)
      out->push_back(p);
  }
  closedir(d);
}
