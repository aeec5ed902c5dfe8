#pragma once
// Whether a channel's source gives usable pictures, as the list entry, the status report, the
// live page and the metrics show it:
//   Ok        pictures come and change;
//   NoSignal  an analog input whose picture has been nearly uniform (a covered lens, a black or
//             blue screen) for kNoSignalNs;
//   Frozen    an analog input whose picture has not changed at all for kFrozenNs;
//   Offline   an IP camera that is being reconnected or has published no picture for three of
//             its frame periods.
// The analog judgement is PictureWatch's (below), fed by the channel's thread with every grabbed
// image; the IP one is made by the signal watch (channels/SignalWatch.h).
#include <cstdint>

enum class SignalState : int { Ok = 0, NoSignal = 1, Frozen = 2, Offline = 3 };

// "ok", "no signal", "frozen", "offline": the words of the pages and the list entry.
const char* signalStateText(SignalState s);
// The Warning line of a change into s: "Video signal back", "Video signal lost",
// "Video picture frozen", "Camera offline".
const char* signalChangeMessage(SignalState s);

// Judges the grabbed images of one analog input. The channel's thread only.
class PictureWatch {
 public:
  static constexpr uint64_t kNoSignalNs = 3000000000ull;
  static constexpr uint64_t kFrozenNs = 10000000000ull;
  // A picture is nearly uniform when at least kUniformShare of its 8 x 8 blocks have a mean
  // brightness within kUniformSpread of one value.
  static constexpr double kUniformShare = 0.95;
  static constexpr int kUniformSpread = 8;

  struct Measure {
    bool uniform = false;
    uint64_t signature = 0;  // the same for two pictures exactly when they are (nearly surely) alike
  };
  // Looks at the image (width x height BGRX pixels): the mean brightness of every 8 x 8 block
  // from a quarter of its pixels (every second one of every second line: after the channel's
  // 2 x 2 smoothing each of them carries four grabbed pixels), and a hash of those means.
  static Measure measure(const uint8_t* bgrx, int width, int height);

  // Notes one grabbed image taken at the monotonic time nowNs; returns the state it leads to.
  SignalState note(const uint8_t* bgrx, int width, int height, uint64_t nowNs);
  // Forgets the history (a new format, a channel switched on again).
  void reset() { *this = PictureWatch(); }

 private:
  bool m_seen = false;
  uint64_t m_uniformSinceNs = 0;  // 0: the last picture was not uniform
  uint64_t m_signature = 0;
  uint64_t m_sameSinceNs = 0;
};
