// The log loader on arbitrary file contents: the lines it holds are consecutive lines of the
// file (whole or cut short), within the load limit, the byte count matches them, and the next
// line logged stands on a line of its own, the file's earlier bytes left as they were.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {
namespace {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

}  // namespace

std::string logLoader(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string path = scratchDir() + "/TelvGateLog.log";
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
  }
  g_settings.clear();
  g_settings.writeString("System", "LogFilePath", path);
  std::unique_ptr<CLogFile> log(new CLogFile);
  log->init();

  // logText gives the held lines newest first (a file not taken over adds the refusal line).
  std::vector<std::string> held = splitLines(log->logText(0));
  if (held.size() != log->lineCount()) return "logText and lineCount disagree";
  std::reverse(held.begin(), held.end());
  uint64_t bytes = 0;
  for (const std::string& l : held) {
    if (l.size() > 511) return "held a line beyond the load limit";
    bytes += l.size();
  }
  if (bytes != log->byteCount()) return "byte count does not match the lines held";
  // The next line logged stands on a line of its own (or the file was not taken over at all).
  log->log(CLogFile::Info, "fuzz", "next line", "logLoader");
  std::ifstream in(path, std::ios::binary);
  const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (after == content) return "";  // not taken over: the loader only logged its refusal
  const std::string sep = !content.empty() && content.back() != '\n' ? "\n" : "";
  const std::string line = CLogFile::formatLine(0, CLogFile::Info, "fuzz", "next line", "logLoader");
  const std::string tail = "logLoader : fuzz : next line\n";
  if (after.size() != content.size() + sep.size() + line.size() + 1 ||
      after.compare(0, content.size(), content) != 0 ||
      after.compare(after.size() - tail.size(), tail.size(), tail) != 0)
    return after.compare(0, content.size(), content) == 0 && sep.size() && after[content.size()] != '\n'
               ? "the next line logged was glued to the file's last line"
               : "the file changed other than by one appended line";

  // The held lines are consecutive lines of the file, each whole or cut short (at the load
  // limit or at a NUL byte).
  const std::vector<std::string> fileLines = splitLines(content);
  bool found = held.empty();
  for (size_t k = 0; !found && k + held.size() <= fileLines.size(); ++k) {
    found = true;
    for (size_t i = 0; found && i < held.size(); ++i)
      found = fileLines[k + i].compare(0, held[i].size(), held[i]) == 0;
  }
  if (!found) return "held lines are not the file's lines";

  return "";
}

}  // namespace fuzzcheck
