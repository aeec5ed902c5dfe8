// The log file's fields of the System form submission.
#include "confserver/LogForm.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "base/TextHelpers.h"

using namespace syssettings;

bool logFileUpdate(CLogFile& log, const FormFields& fields, std::string& html) {
  bool changed = false;
  const std::string current = log.path();
  auto it = fields.find("sys_logFilePath");
  if (it != fields.end() && it->second != current) {
    if (CSettings::storableEntry(kLogPath.key, it->second) && CLogFile::pathUsable(it->second)) {
      html += std::string("<P class=upd>Updated the <EM>") + kLogPath.label + "</EM> value to '<STRONG>" +
              html_escape(it->second) + "'</STRONG></P>";
      g_settings.writeString(kSection, kLogPath.key, it->second);
      changed = true;
    } else {
      html += std::string("<P class=warn>The <EM>") + kLogPath.label + "</EM> string is not a valid file name.</P>";
    }
  }
  it = fields.find("sys_logFileSize");
  if (it != fields.end()) {
    const std::string& v = it->second;
    char* end = nullptr;
    errno = 0;
    const unsigned long n = v.empty() || v[0] == '-' ? 0 : std::strtoul(v.c_str(), &end, 10);
    if (end && end != v.c_str() && errno == 0) {
      const unsigned mb = unsigned(std::min<unsigned long>(n, (unsigned long)kLogSize.max));
      if (mb * 1048576u != log.sizeLimit()) {
        html += std::string("<P class=upd>Updated the <EM>") + kLogSize.label + "</EM> value to <STRONG>" +
                std::to_string(mb) + "</STRONG></P>";
        g_settings.writeUnsigned(kSection, kLogSize.key, mb);
        changed = true;
      }
    }
  }
  return changed;
}
