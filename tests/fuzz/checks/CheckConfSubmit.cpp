// A configuration form submission: the body split as the server splits it, handed to the
// system steps and to an IP channel's update with the settings store in memory. No entry with
// an empty key (or section) reaches the store, and the page text shows every submitted value
// escaped: each "<" opens one of the page's own tags, each "&" one of its entities.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/CSettings.h"
#include "base/TextHelpers.h"
#include "confserver/CLstConfThread.h"
#include "confserver/ChannelForms.h"
#include "confserver/ConfSubmit.h"
#include "endpoint/CIPAxisVideoCnl.h"
#include "recording/CRecVideoClient.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {
namespace {

std::string unescapedText(const std::string& html) {
  for (size_t i = 0; i < html.size(); ++i) {
    if (html[i] == '<') {
      const char n = i + 1 < html.size() ? html[i + 1] : '\0';
      // "port<=65535" is the page's own text.
      if (!std::isalpha(static_cast<unsigned char>(n)) && n != '/' && html.compare(i, 8, "<=65535)") != 0)
        return "raw '<' on the page";
    } else if (html[i] == '&') {
      static const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&nbsp;"};
      bool entity = false;
      for (const char* e : kEntities) entity = entity || html.compare(i, std::strlen(e), e) == 0;
      if (!entity) return "raw '&' on the page";
    }
  }
  return "";
}

std::string emptyKeyInStore() {
  for (const std::string& section : g_settings.sectionNames()) {
    if (section.empty()) return "a section with an empty name reached the store";
    for (const auto& e : g_settings.sectionEntries(section))
      if (e.first.empty()) return "an empty key reached the store in section '" + section + "'";
  }
  return "";
}

// Points HOME at the scratch folder for one check, so written settings never reach the user's
// own, and puts it back (the regression test shares its process with other tests).
struct ScratchHome {
  bool had;
  std::string old;
  ScratchHome() : had(std::getenv("HOME") != nullptr), old(had ? std::getenv("HOME") : "") {
    setenv("HOME", scratchDir().c_str(), 1);
  }
  ~ScratchHome() {
    if (had) setenv("HOME", old.c_str(), 1);
    else unsetenv("HOME");
    g_settings.clear();
  }
};

}  // namespace

std::string confSubmit(const uint8_t* data, size_t size) {
  ScratchHome home;
  installChannelRecorder();  // the channel gets its recorder as in the gateway
  static CIPAxisVideoCnl* channel = new CIPAxisVideoCnl(0);  // never started; never destroyed
  static CLstConfThread* server = new CLstConfThread;        // never started

  FormFields form = splitFormBody(std::string(reinterpret_cast<const char*>(data), size));
  // Steps that would act outside this process are left out: creating a running channel,
  // moving the log file, resolving a host name, removing the probe channel.
  form.erase("newCnl");
  form.erase("sys_logFilePath");
  form.erase(channel->fieldPrefix() + "Remove");
  auto ip = form.find("sys_ConfIPAddr");
  if (ip != form.end() && !is_valid_ip(ip->second)) form.erase(ip);

  g_settings.clear();
  g_settings.writeString("Admins", "admin", "pw");
  std::string channelHtml;
  channelUpdate(*channel, form, channelHtml);
  std::string fault = unescapedText(channelHtml);
  if (!fault.empty()) return "channel update: " + fault;

  const std::string page = applySubmission(form, *server, nullptr);
  fault = unescapedText(page);
  if (!fault.empty()) return "submission: " + fault;
  return emptyKeyInStore();
}

}  // namespace fuzzcheck
