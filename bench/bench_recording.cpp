// Recording cost: 8 channels recording 60 KB pictures at once, into a real directory, against
// plain write() of the same bytes beside the same picture source.
//
// Every run has the same 8 channels publishing the same picture (its time-stamp segment
// rewritten for each one); what differs is who stores the pictures:
//  - "recorder": each channel's own recorder (frame period 40 ms), as the gateway runs;
//  - "plain write()": recording off, and 8 threads writing the same picture with one write()
//    per picture into files they rotate like sequence files (a new file every 250 pictures):
//    what the disk and the kernel give without our code, the source's cost included as it is
//    in the recorder's run;
//  - "source alone": recording off and nothing writing: what the channels cost by themselves.
// Two loads:
//  - "25/s": every channel publishes on an absolute 40 ms schedule, the plain writers write on
//    theirs: the target load of 8 x 25 pictures/s;
//  - "unthrottled": every channel publishes as soon as its recorder asks (frame-wanted), with
//    time stamps in the past so the recorder's pacing never waits, and the plain writers never
//    wait: the ceiling.
// Each load runs a warm-up round (not counted), then interleaved rounds (recorder, plain,
// source); the table gives the median and the minimum of the rounds. CPU time is the whole
// process's over the round, divided by the pictures stored in it; a round is counted from
// half a second after its threads started to just before they are stopped.
//
// Usage: bench_recording [seconds per round, default 3] [rounds, default 3] [directory,
//        default $TMPDIR or /tmp] [load: 25, max or both, default both] [only: recorder, plain or
//        source, to run one of them alone under a profiler]
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "bench/BenchSupport.h"
#include "channels/CVideoCnl.h"
#include "channels/PictureBlocks.h"
#include "platform/Clock.h"
#include "recording/CRecVideoClient.h"
#include "recording/EventTree.h"

namespace {

constexpr int kChannels = 8;
constexpr uint32_t kPictureBytes = 60 * 1024;
constexpr uint64_t kPeriodNs = 40000000ull;  // 25 pictures/s
constexpr int kFilePictures = 250;           // a 10 s sequence file at 25/s
constexpr uint64_t kSettleMs = 500;

enum class Writer { Recorder, Plain, None };

class BenchRecChannel : public CVideoCnl {
 public:
  BenchRecChannel(uint32_t index, bool throttled)
      : CVideoCnl(1, index), m_throttled(throttled), m_picture(bench::makePicture(kPictureBytes, 4711)) {
    createRecorder();
  }
  ~BenchRecChannel() override {
    stop();
    join();
  }
  std::string imageUrl(const std::string&, bool) override { return ""; }
  CNetAddr localAddr() override { return CNetAddr("127.0.0.1", 0); }
  CNetAddr peerAddr() override { return CNetAddr("127.0.0.1", 0); }
  std::string sourceTag() override { return "bench_" + std::to_string(index()); }
  uint64_t published() const { return m_published.load(); }

 protected:
  int run() override {
    recorder()->start();
    uint64_t due = platform::monotonicNs();
    // Unthrottled pictures are stamped an hour back, so the recorder's pacing never sleeps.
    uint64_t fakeTime = platform::nowNs() - 3600ull * 1000000000ull;
    uint32_t seq = 0;
    while (!stopping()) {
      if (m_throttled) {
        due += kPeriodNs;
        bench::sleepUntilMonotonic(due);
      } else {
        waitFrameWanted(5000000ull);
      }
      if (stopping()) break;
      FrameRec& back = backFrame();
      if (back.length != m_picture.size()) {
        std::memcpy(back.data, m_picture.data(), m_picture.size());
        back.length = uint32_t(m_picture.size());
      }
      back.timestamp = m_throttled ? platform::nowNs() : (fakeTime += 1000);
      back.sequence = ++seq;
      pictureblocks::setFrameFields(back.data, back.timestamp, seq, 0);
      publishBackFrame();
      ++m_published;
    }
    return 0;
  }

 private:
  const bool m_throttled;
  std::vector<uint8_t> m_picture;
  std::atomic<uint64_t> m_published{0};
};

struct Round {
  double pictures = 0, seconds = 0, cpu = 0;
  double rate() const { return seconds > 0 ? pictures / seconds : 0; }
  double cpuPerPicture() const { return pictures > 0 ? cpu * 1e6 / pictures : 0; }
};

// One plain writer: the channel's picture, one write() per picture, a new file every
// kFilePictures, paced like the recorder when throttled. Counts the pictures it stored.
void plainWriter(const std::string& dir, bool throttled, const std::atomic<bool>& stop,
                 std::atomic<uint64_t>& pictures) {
  std::vector<uint8_t> pic = bench::makePicture(kPictureBytes, 4711);
  mkdir(dir.c_str(), 0777);
  uint64_t due = platform::monotonicNs();
  int fd = -1, inFile = 0, fileNo = 0;
  uint32_t seq = 0;
  while (!stop.load()) {
    if (throttled) {
      due += kPeriodNs;
      bench::sleepUntilMonotonic(due);
    }
    if (fd < 0) {
      std::string path = dir + "M" + std::to_string(fileNo++) + ".jpg";
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
      if (fd < 0) return;
    }
    pictureblocks::setFrameFields(pic.data(), platform::nowNs(), ++seq, 0);
    if (write(fd, pic.data(), pic.size()) != ssize_t(pic.size())) break;
    ++pictures;
    if (++inFile == kFilePictures) {
      close(fd);
      fd = -1;
      inFile = 0;
    }
  }
  if (fd >= 0) close(fd);
}

Round runRound(const std::string& root, Writer writer, bool throttled, double seconds) {
  for (int i = 0; i < kChannels; ++i) {
    std::string section = "Channel 1 " + std::to_string(i + 1);
    g_settings.writeBool(section, "CnlEventRecActive", writer == Writer::Recorder);
    g_settings.writeString(section, "CnlEventRootPath", root);
    g_settings.writeInt(section, "CnlEventFramePeriod", 40);
  }
  std::vector<std::unique_ptr<BenchRecChannel>> chans;
  for (int i = 0; i < kChannels; ++i) {
    chans.push_back(std::make_unique<BenchRecChannel>(uint32_t(i + 1), throttled));
    if (!chans.back()->init()) {
      std::fprintf(stderr, "channel init failed\n");
      std::exit(1);
    }
  }
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> plainPictures{0};
  std::vector<std::thread> plain;
  for (auto& c : chans) c->start();
  if (writer == Writer::Plain) {
    for (int i = 0; i < kChannels; ++i)
      plain.emplace_back(plainWriter, root + "plain_" + std::to_string(i) + "/", throttled,
                         std::cref(stop), std::ref(plainPictures));
  }
  // Pictures stored so far: the recorders' byte counts (their first pictures and INFO.jpg
  // files are a few hundred bytes in a round), the writers' count, or the pictures published.
  auto stored = [&]() -> double {
    if (writer == Writer::Plain) return double(plainPictures.load());
    uint64_t n = 0;
    for (auto& c : chans)
      n += writer == Writer::Recorder ? recorderOf(*c)->bytesWritten() / kPictureBytes : c->published();
    return double(n);
  };
  // Counted only after the threads started and the recorders set up their trees, so the
  // round measures the steady state, not thread and file creation.
  platform::sleepMs(kSettleMs);
  double cpu0 = bench::processCpuSeconds(), stored0 = stored();
  uint64_t t0 = platform::monotonicNs();
  bench::sleepUntilMonotonic(t0 + uint64_t(seconds * 1e9));
  Round r;
  r.cpu = bench::processCpuSeconds() - cpu0;
  r.pictures = stored() - stored0;
  r.seconds = (platform::monotonicNs() - t0) / 1e9;
  stop = true;
  for (auto& t : plain) t.join();
  for (auto& c : chans) c->stop();
  chans.clear();  // joins channels and recorders (which finish their files)
  eventtree::removeTree(root);
  mkdir(root.c_str(), 0777);
  return r;
}

struct Series {
  std::vector<double> cpu, rate;
  void add(const Round& r) {
    cpu.push_back(r.cpuPerPicture());
    rate.push_back(r.rate());
  }
};

void runLoad(const std::string& root, bool throttled, double seconds, int rounds, int only) {
  const Writer writers[] = {Writer::Recorder, Writer::Plain, Writer::None};
  Series s[3];
  for (int round = -1; round < rounds; ++round)  // round -1 warms up and is not counted
    for (int w = 0; w < 3; ++w) {
      if (only >= 0 && w != only) continue;
      Round r = runRound(root, writers[w], throttled, seconds);
      if (round >= 0) s[w].add(r);
    }
  const char* names[] = {"recorder", "plain write()", "source alone"};
  const char* load = throttled ? "25/s each" : "unthrottled";
  for (int w = 0; w < 3; ++w) {
    std::printf("| %s | %s | %.1f (%.1f) | %.1f | %.1f (%.1f) |", names[w], load,
                bench::median(s[w].rate), bench::least(s[w].rate),
                bench::median(s[w].rate) * kPictureBytes / 1e6, bench::median(s[w].cpu),
                bench::least(s[w].cpu));
    if (w == 0 && only < 0)
      std::printf(" %.2fx | %.0f %% |\n", bench::median(s[0].cpu) / bench::median(s[1].cpu),
                  100.0 * bench::median(s[0].rate) / bench::median(s[1].rate));
    else
      std::printf(" | |\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  installChannelRecorder();  // the channels get their recorders as in the gateway
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (seconds <= 0) seconds = 3.0;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (rounds < 1) rounds = 1;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = argc > 3 ? argv[3] : (tmp && *tmp ? tmp : "/tmp");
  std::string load = argc > 4 ? argv[4] : "both";
  std::string onlyName = argc > 5 ? argv[5] : "";
  int only = onlyName == "recorder" ? 0 : onlyName == "plain" ? 1 : onlyName == "source" ? 2 : -1;
  std::string tmpl = base + "/bench_recording_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string root = std::string(buf.data()) + "/";

  std::printf("Recording: %d channels, %u-byte pictures, %.1f s per round, a warm-up and %d "
              "interleaved rounds, into %s\n\n",
              kChannels, kPictureBytes, seconds, rounds, root.c_str());
  std::printf("| run | load | pictures/s median (min) | MB/s | CPU us/picture median (min) | "
              "CPU vs plain | rate vs plain |\n|---|---|--:|--:|--:|--:|--:|\n");
  if (load != "max") runLoad(root, true, seconds, rounds, only);
  if (load != "25") runLoad(root, false, seconds, rounds, only);
  rmdir(root.c_str());
  std::printf("\nCPU = the whole process's (channels, recorders or writers) per picture stored; "
              "for \"source alone\" per picture published.\n");
  return 0;
}
