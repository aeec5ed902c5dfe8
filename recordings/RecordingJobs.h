#pragma once
// The long answers of the recordings pages, each on a thread of its own so the configuration
// server goes on answering one request at a time: the played-back push stream, an export, and
// events.json (which reads every picture of its range). At most kMaxJobs run at once; the
// pages answer 503 beyond that.
//
// Hand-over: the configuration thread checks the request, admit()s a job (not yet started) and
// answers with a hand-over (ConfAnswer::handOver); the connection's own thread then gives the
// job its socket with begin(), which starts the job's thread. A job ends when its client goes
// away, when it is done, when stop() is called (its channel was removed, or the server ends),
// and is reaped (joined, destroyed) by the next admit() or by stopAll().
//
// Threads: admit(), keepSections() on the configuration thread; begin() on a connection
// thread; stopAll() on the thread that shuts the server down, after the configuration thread
// and the connection threads have ended. A job's work() runs on its own thread and touches
// only its socket and the recording tree, never a channel object.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/CSocket.h"
#include "platform/Thread.h"
#include "recordings/RecordingTree.h"

class RecordingJob : public CThread {
 public:
  RecordingJob(std::string section, std::string treeDir);
  ~RecordingJob() override;

  // Takes ownership of handle (a connected socket) and starts the thread; with handle < 0 (the
  // connection was dropped before the hand-over) or when the thread cannot start, the job
  // ends at once. With a layer (the connection's TLS session) every byte goes through it.
  void begin(int handle, std::unique_ptr<SocketTransport> layer = nullptr);
  // Asks the job to end: sets the flag and shuts the socket down, which wakes any wait.
  void stop();
  bool done() const { return m_done.load(); }
  const std::string& section() const { return m_section; }

 protected:
  int run() override;
  virtual void work() = 0;

  bool stopping() const { return m_stop.load(); }
  // Sends all bytes (or both pieces); false when the client is gone, stalls for
  // kStallLimitNs, or the job is stopped.
  bool sendAll(const void* data, size_t len);
  bool sendPair(const void* a, size_t alen, const void* b, size_t blen);
  // True when the client has closed its side (or the connection failed). Never waits.
  bool clientGone();
  // Whether the bytes go through a layer (TLS), so the file cannot go to the socket directly.
  bool layered() const { return m_layer != nullptr; }
  // Sleeps until the monotonic time untilNs; false when stopped or the client went away
  // meanwhile.
  bool waitUntil(uint64_t untilNs);
  // A short answer with a status and a one-line text body, for failures found after the
  // hand-over (the cleaner took the range meanwhile, a full temporary disk).
  void sendShortAnswer(int status, const std::string& reason, const std::string& text);

  static constexpr uint64_t kStallLimitNs = 10000000000ull;  // a client not reading for 10 s

  const std::string m_section;
  recordings::RecordingTree m_tree;
  int m_fd = -1;

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_done{false};
  std::mutex m_fdLock;  // stop() against the close at the end of run()
  std::unique_ptr<SocketTransport> m_layer;  // the job's thread (set before it starts)
  std::vector<uint8_t> m_firstRecord;         // the job's thread: see sendPair()
  // One send that never waits: the count taken, or -1 with errno.
  ssize_t sendSome(const iovec* pieces, int count);
};

class RecordingJobs {
 public:
  static constexpr size_t kMaxJobs = 8;

  RecordingJobs() = default;
  ~RecordingJobs() { stopAll(); }
  RecordingJobs(const RecordingJobs&) = delete;
  RecordingJobs& operator=(const RecordingJobs&) = delete;

  // Takes the job unless kMaxJobs are running or waiting for their socket: the job (owned
  // here), or null (the job is destroyed) when full.
  RecordingJob* admit(std::unique_ptr<RecordingJob> job);
  // Stops the jobs of every channel whose section is not in sections (removed channels).
  void keepSections(const std::set<std::string>& sections);
  // Stops and joins every job.
  void stopAll();
  size_t count();

 private:
  void reapLocked();

  std::mutex m_lock;
  std::list<std::unique_ptr<RecordingJob>> m_jobs;  // guarded by m_lock
};
