// The log loader on arbitrary file contents: the lines it holds are the file's first lines
// (each cut short only at a NUL byte), none holds a line feed or reaches the load limit, the
// byte count matches them, and the next line logged stands on a line of its own in the file.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "app/CLogFile.h"
#include "app/CSettings.h"
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

  // logText gives the held lines newest first; the loader adds no line of its own.
  std::vector<std::string> held = splitLines(log->logText(0));
  if (held.size() != log->lineCount()) return "logText and lineCount disagree";
  std::vector<std::string> fileLines = splitLines(content);
  if (held.size() > fileLines.size()) return "more lines held than the file has";
  uint64_t bytes = 0;
  for (size_t i = 0; i < held.size(); ++i) {
    const std::string& got = held[held.size() - 1 - i];
    const std::string& want = fileLines[i];
    const std::string cut = want.substr(0, want.find('\0'));
    if (got != want && got != cut) return "held line differs from the file's line";
    if (got.size() >= 511) return "held a line beyond the load limit";
    bytes += got.size();
  }
  if (bytes != log->byteCount()) return "byte count does not match the lines held";

  log->log(CLogFile::Info, "fuzz", "next line", "logLoader");
  std::ifstream in(path, std::ios::binary);
  const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> afterLines = splitLines(after);
  const std::string expectedTail = "logLoader : fuzz : next line";
  if (afterLines.empty() || afterLines.back().size() < expectedTail.size() + 24 ||
      afterLines.back().compare(afterLines.back().size() - expectedTail.size(), std::string::npos, expectedTail) != 0 ||
      after.back() != '\n')
    return "the next line logged does not stand on a line of its own";
  if (afterLines.back().size() != CLogFile::formatLine(0, CLogFile::Info, "fuzz", "next line", "logLoader").size())
    return "the next line logged was glued to the file's last line";
  return "";
}

}  // namespace fuzzcheck
