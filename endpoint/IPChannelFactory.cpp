#include "endpoint/IPChannelFactory.h"

#include <sstream>
#include <string>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "channels/CnlList.h"
#include "endpoint/CIPAsipVideoCnl.h"
#include "endpoint/CIPAxisVideoCnl.h"
#include "endpoint/CIPGrandstreamVideoCnl.h"
#include "endpoint/CIPHikvisionVideoCnl.h"
#include "endpoint/CIPLilinVideoCnl.h"
#include "endpoint/CIPPanasonicVideoCnl.h"
#include "endpoint/CIPSonyVideoCnl.h"
#include "endpoint/CIPToshibaVideoCnl.h"
#include "endpoint/CIPVivotecVideoCnl.h"

CVideoCnl* createIPChannel(int typeCode, uint32_t index) {
  switch (typeCode) {
    case 1: return new CIPAxisVideoCnl(index);
    case 2: return new CIPLilinVideoCnl(index);
    case 3: return new CIPAsipVideoCnl(index);
    case 4: return new CIPToshibaVideoCnl(index);
    case 5: return new CIPSonyVideoCnl(index);
    case 6: return new CIPPanasonicVideoCnl(index);
    case 7: return new CIPVivotecVideoCnl(index);
    case 8: return new CIPHikvisionVideoCnl(index);
    case 9: return new CIPGrandstreamVideoCnl(index);
    default: return nullptr;
  }
}

const IPVendorTraits* ipVendorTraits(int typeCode) {
  switch (typeCode) {
    case 1: return &CIPAxisVideoCnl::kTraits;
    case 2: return &CIPLilinVideoCnl::kTraits;
    case 3: return &CIPAsipVideoCnl::kTraits;
    case 4: return &CIPToshibaVideoCnl::kTraits;
    case 5: return &CIPSonyVideoCnl::kTraits;
    case 6: return &CIPPanasonicVideoCnl::kTraits;
    case 7: return &CIPVivotecVideoCnl::kTraits;
    case 8: return &CIPHikvisionVideoCnl::kTraits;
    case 9: return &CIPGrandstreamVideoCnl::kTraits;
    default: return nullptr;
  }
}

int startIPChannelsFromSettings() {
  int started = 0;
  for (const std::string& section : g_settings.sectionNames()) {
    // A word and two integers; analog sections (type code 0, a third number) are not ours.
    std::istringstream in(section);
    std::string word;
    long type = -1;
    long index = -1;
    if (!(in >> word >> type >> index) || word != "Channel" || type < 1 || type > 9 || index < 0 ||
        index > 0xFFFFFFFFl)
      continue;
    CVideoCnl* cnl = createIPChannel(static_cast<int>(type), static_cast<uint32_t>(index));
    if (!cnl) continue;
    // Only the name the channel itself writes: "Channel 1 05" or "Channel 1 5 junk" would
    // otherwise start a second channel on the settings and recordings of "Channel 1 5".
    if (cnl->sectionName() != section) {
      g_logFile.log(CLogFile::Warning, "system",
                    "Settings section '" + section + "' is not a channel section name; ignored.",
                    "startIPChannelsFromSettings");
      destroyChannel(cnl);  // never started: the join returns at once
      continue;
    }
    if (initAndStartListedChannel(cnl)) ++started;
  }
  return started;
}
