// telvgate-export: one file of a channel's recordings between two times, read straight from
// the recording tree (the gateway need not run). The same export as the configuration
// server's /recordings/export; see docs/telvgate-export.1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "recording/EventTree.h"
#include "recordings/RecExport.h"
#include "recordings/RecTime.h"

namespace {

const char kUsage[] =
    "Usage: telvgate-export --tree DIR --from T --to T --format mkv|avi|zip [-o FILE]\n"
    "                       [--name NAME] [--period MS]\n"
    "  --tree DIR     the channel's recording folder (the one holding .erdinfo)\n"
    "  --from, --to   ISO 8601 local time (2026-12-10T09:30:00) or Unix seconds\n"
    "  --format       mkv (pictures at their recorded times), avi (at the recording rate),\n"
    "                 zip (the picture files, SHA256SUMS and EXPORT.txt)\n"
    "  -o FILE        output file (default: <channel>_<from>_<to>.<format> here)\n"
    "  --name NAME    channel name for EXPORT.txt and the title (default: the folder's name)\n"
    "  --period MS    recording period for avi (default: from the recorded stamps)\n"
    "Exit status: 0 written, 1 bad options, 2 nothing recorded in the range, 3 failure.\n";

int usage(const std::string& why) {
  if (!why.empty()) std::fprintf(stderr, "telvgate-export: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tree, from, to, format, out, name, period;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::string* target = a == "--tree" ? &tree : a == "--from" ? &from : a == "--to" ? &to
                        : a == "--format" ? &format : a == "-o" ? &out : a == "--name" ? &name
                        : a == "--period" ? &period : nullptr;
    if (!target) return usage("unknown option " + a);
    if (i + 1 >= argc) return usage(a + " needs a value");
    *target = argv[++i];
  }
  if (tree.empty() || from.empty() || to.empty() || format.empty())
    return usage("--tree, --from, --to and --format are needed");
  recordings::ExportRequest req;
  if (!rectime::parseTime(from, &req.fromUs)) return usage("malformed time " + from);
  if (!rectime::parseTime(to, &req.toUs)) return usage("malformed time " + to);
  if (req.fromUs >= req.toUs) return usage("--from must come before --to");
  if (!recordings::parseFormat(format, &req.format)) return usage("unknown format " + format);
  if (!period.empty()) {
    char* end = nullptr;
    const long ms = std::strtol(period.c_str(), &end, 10);
    if (*end || ms < 40 || ms > 10000) return usage("--period takes 40 to 10000 milliseconds");
    req.periodMs = uint32_t(ms);
  }
  if (tree.back() != '/') tree += '/';
  tree = eventtree::normalizePath(tree);
  std::string tag = tree.substr(0, tree.size() - 1);
  tag = tag.substr(tag.rfind('/') + 1);
  req.channelTag = tag.empty() ? "channel" : tag;
  req.channelName = name.empty() ? req.channelTag : name;
  if (out.empty()) out = recordings::downloadName(req);

  recordings::RecordingTree rt(tree);
  erdinfo::Record rec;
  if (!rt.readIndex(&rec)) {
    std::fprintf(stderr, "telvgate-export: no readable recording index %s.erdinfo\n", tree.c_str());
    return 3;
  }
  const recordings::ExportResult r = recordings::exportRange(rt, req, out);
  switch (r.status) {
    case recordings::ExportResult::Status::Written:
      std::printf("%s: %llu pictures, %s to %s\n", out.c_str(),
                  static_cast<unsigned long long>(r.pictures), rectime::displayLocal(r.firstUs).c_str(),
                  rectime::displayLocal(r.lastUs).c_str());
      if (r.cutShort)
        std::fprintf(stderr, "telvgate-export: the recording cleaner deleted pictures of the range "
                             "during the export; it ends at %s\n",
                     rectime::displayLocal(r.lastUs).c_str());
      return 0;
    case recordings::ExportResult::Status::NothingRecorded:
      std::fprintf(stderr, "telvgate-export: nothing recorded between %s and %s\n",
                   rectime::isoLocal(req.fromUs).c_str(), rectime::isoLocal(req.toUs).c_str());
      return 2;
    default:
      std::fprintf(stderr, "telvgate-export: %s\n", r.error.c_str());
      std::remove(out.c_str());
      return 3;
  }
}
