// Recording throughput: 8 channels recording 60 KB pictures at once, into a real directory.
//
// Runs, each for the same time:
//  - "recorder, 25/s": every channel publishes on an absolute 40 ms schedule and its recorder
//    (frame period 40 ms) stores what it gets: the target load of 8 x 25 pictures/s;
//  - "recorder, unthrottled": every channel publishes as soon as its recorder asks (frame-wanted)
//    with time stamps in the past, so the recorder's pacing never waits: the code's ceiling;
//  - "plain write(), 25/s" and "plain write(), unthrottled": 8 threads writing the same bytes
//    with write() in 60 KB calls into files they rotate like sequence files: what the disk and
//    the kernel give without our code.
// CPU time is the whole process's over the run, divided by the pictures stored.
//
// Usage: bench_recording [seconds per run, default 4] [directory, default $TMPDIR or /tmp]
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
constexpr int kFilesPictures = 250;           // a 10 s sequence file at 25/s

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
    }
    return 0;
  }

 private:
  const bool m_throttled;
  std::vector<uint8_t> m_picture;
};

struct Result {
  double pictures = 0, seconds = 0, cpu = 0;
};

Result runRecorders(const std::string& root, bool throttled, double seconds) {
  for (int i = 0; i < kChannels; ++i) {
    std::string section = "Channel 1 " + std::to_string(i + 1);
    g_settings.writeBool(section, "CnlEventRecActive", true);
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
  double cpu0 = bench::processCpuSeconds();
  uint64_t t0 = platform::monotonicNs();
  for (auto& c : chans) c->start();
  bench::sleepUntilMonotonic(t0 + uint64_t(seconds * 1e9));
  Result r;
  r.seconds = (platform::monotonicNs() - t0) / 1e9;
  for (auto& c : chans) c->stop();
  chans.clear();  // joins channels and recorders (which finish their files)
  r.cpu = bench::processCpuSeconds() - cpu0;
  uint64_t bytes = 0;
  for (int i = 0; i < kChannels; ++i)
    bytes += eventtree::scanTree(root + "bench_" + std::to_string(i + 1) + "/", nullptr).bytes;
  r.pictures = double(bytes) / kPictureBytes;
  eventtree::removeTree(root);
  mkdir(root.c_str(), 0777);
  return r;
}

Result runPlainWrites(const std::string& root, bool throttled, double seconds) {
  std::vector<uint8_t> pic = bench::makePicture(kPictureBytes, 4711);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> pictures{0};
  std::vector<std::thread> threads;
  double cpu0 = bench::processCpuSeconds();
  uint64_t t0 = platform::monotonicNs();
  for (int i = 0; i < kChannels; ++i) {
    threads.emplace_back([&, i] {
      std::string dir = root + "plain_" + std::to_string(i) + "/";
      mkdir(dir.c_str(), 0777);
      uint64_t due = platform::monotonicNs();
      int fd = -1, inFile = 0, fileNo = 0;
      while (!stop.load()) {
        if (throttled) {
          due += kPeriodNs;
          bench::sleepUntilMonotonic(due);
        }
        if (fd < 0) {
          std::string path = dir + "M" + std::to_string(fileNo++) + ".jpg";
          fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
          if (fd < 0) return;
        }
        if (write(fd, pic.data(), pic.size()) != ssize_t(pic.size())) break;
        ++pictures;
        if (++inFile == kFilesPictures) {
          close(fd);
          fd = -1;
          inFile = 0;
        }
      }
      if (fd >= 0) close(fd);
    });
  }
  bench::sleepUntilMonotonic(t0 + uint64_t(seconds * 1e9));
  stop = true;
  for (auto& t : threads) t.join();
  Result r;
  r.seconds = (platform::monotonicNs() - t0) / 1e9;
  r.cpu = bench::processCpuSeconds() - cpu0;
  r.pictures = double(pictures.load());
  eventtree::removeTree(root);
  mkdir(root.c_str(), 0777);
  return r;
}

void printRow(const char* name, double requested, const Result& r) {
  double pps = r.pictures / r.seconds;
  std::printf("| %-26s | %9s | %10.1f | %8.1f | %12.1f |\n", name,
              requested > 0 ? std::to_string(int(requested)).c_str() : "max", pps,
              pps * kPictureBytes / 1e6, r.pictures > 0 ? r.cpu * 1e6 / r.pictures : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  installChannelRecorder();  // the channels get their recorders as in the gateway
  double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
  if (seconds <= 0) seconds = 4.0;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
  std::string tmpl = base + "/bench_recording_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string root = std::string(buf.data()) + "/";

  std::printf("Recording: %d channels, %u-byte pictures, %.1f s per run, into %s\n\n", kChannels,
              kPictureBytes, seconds, root.c_str());
  std::printf("| %-26s | %9s | %10s | %8s | %12s |\n", "run", "asked/s", "pictures/s", "MB/s",
              "CPU us/pic");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(28, '-').c_str(), std::string(11, '-').c_str(),
              std::string(12, '-').c_str(), std::string(10, '-').c_str(),
              std::string(14, '-').c_str());
  const double asked = kChannels * 1e9 / double(kPeriodNs);
  printRow("recorder, 25/s each", asked, runRecorders(root, true, seconds));
  printRow("plain write(), 25/s each", asked, runPlainWrites(root, true, seconds));
  printRow("recorder, unthrottled", 0, runRecorders(root, false, seconds));
  printRow("plain write(), unthrottled", 0, runPlainWrites(root, false, seconds));
  rmdir(root.c_str());
  std::printf("\nThe log lines of the runs (start and stop of each recorder) are not shown.\n");
  return 0;
}
