#pragma once
// Test isolation: a temporary folder that becomes HOME (and an empty FOXDIR), so the settings
// store and relative log paths never touch the real user's files.
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();   // creates a fresh folder under $TMPDIR (or /tmp)
  ~TempDir();  // removes it with everything inside
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  std::string file(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Points HOME and FOXDIR into a fresh temporary folder and empties the in-memory settings;
// restores the previous environment on destruction.
class IsolatedHome {
 public:
  IsolatedHome();
  ~IsolatedHome();
  const TempDir& dir() const { return m_dir; }
  // The settings file the store reads and writes in this home.
  std::string settingsFile() const;

 private:
  TempDir m_dir;
  std::string m_oldHome, m_oldFoxDir;
  bool m_hadHome, m_hadFoxDir;
};

// Paths in the build and source trees the suite was built from ("": the tree itself). Only
// BuildTree.cpp knows them, so every other test file compiles the same in any checkout (and
// hits the compiler cache there).
std::string buildTreePath(const std::string& name);   // <build tree>/name
std::string sourceTreePath(const std::string& name);  // <source tree>/name

// Reads a whole file into a string ("" when missing).
std::string readFile(const std::string& path);
// Writes a whole file; false on failure.
bool writeFile(const std::string& path, const std::string& data);

// Appends the path of every file called `name` below `dir` (symbolic links are not followed).
void findFiles(const std::string& dir, const std::string& name, std::vector<std::string>* out);
