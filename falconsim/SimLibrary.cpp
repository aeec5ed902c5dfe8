#include "falconsim/SimLibrary.h"

#include <cstdio>
#include <cstdlib>

#include "falconsim/SimErrors.h"

namespace falconsim {

namespace {

constexpr int kMaxBoards = 64;
constexpr int kInputsPerBoard = 5;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

int parseBoardCount(const std::string& text) {
  if (text.empty()) return 1;
  char* rest = nullptr;
  const long n = std::strtol(text.c_str(), &rest, 10);
  if (*rest != '\0' || n < 0 || n > kMaxBoards) return 1;
  return int(n);
}

}  // namespace

SimLibrary& SimLibrary::instance() {
  static SimLibrary library;
  return library;
}

SimLibrary::SimLibrary() { loadConfig(true); }

void SimLibrary::loadConfig(bool force) {
  const std::string boards = env("TELVGATE_FALCON_BOARDS"), fail = env("TELVGATE_FALCON_FAIL"),
                    trace = env("TELVGATE_FALCON_TRACE"), hang = env("TELVGATE_FALCON_HANG"),
                    inputs = env("TELVGATE_FALCON_INPUTS");
  std::lock_guard<std::mutex> guard(m_lock);
  if (!force && m_loaded && boards == m_envBoards && fail == m_envFail && trace == m_envTrace &&
      hang == m_envHang && inputs == m_envInputs)
    return;
  // Opening a board restarts the counted failures, so every test that opens one sees its counts
  // afresh; is_InitBoard's own count would then never run out, so it restarts only on a change.
  const bool sameRules = m_loaded && fail == m_envFail;
  m_loaded = true;
  m_envBoards = boards;
  m_envFail = fail;
  m_envTrace = trace;
  m_envHang = hang;
  m_envInputs = inputs;
  m_hang.configure(hang);
  m_faults.configure(inputs);
  m_boardCount = parseBoardCount(boards);
  m_fail.configure(fail, sameRules ? "is_InitBoard" : nullptr);
  m_trace.open(trace);
}

int SimLibrary::boardCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_boardCount;
}

int SimLibrary::injected(const char* function, FALCON_BOARD handle) {
  if (!m_fail.shouldFail(function)) return 0;
  const std::string text = std::string("simulated failure of ") + function;
  if (std::shared_ptr<SimBoard> b = board(handle)) {
    std::lock_guard<std::mutex> guard(b->lock());
    b->fail(kSimulatedFailure, text);
  } else {
    std::lock_guard<std::mutex> guard(m_lock);
    m_errorCode = kSimulatedFailure;
    m_errorText = text;
  }
  report(function, kSimulatedFailure, text);
  return kSimulatedFailure;
}

std::shared_ptr<SimBoard> SimLibrary::board(FALCON_BOARD handle) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (handle < 1 || handle > m_boards.size()) return nullptr;
  return m_boards[handle - 1];
}

int SimLibrary::openBoard(const char* function, FALCON_BOARD* handle) {
  if (!handle) return fail(function, kInvalidParameter, "no place given for the board handle");
  std::unique_lock<std::mutex> guard(m_lock);
  if (m_boards.size() < size_t(m_boardCount)) m_boards.resize(size_t(m_boardCount));
  FALCON_BOARD wanted = *handle;
  if (wanted == 0) {
    for (int i = 0; i < m_boardCount && wanted == 0; ++i)
      if (!m_boards[size_t(i)]) wanted = FALCON_BOARD(i + 1);
    if (wanted == 0) {
      guard.unlock();
      return fail(function, kNoFreeBoard,
                  m_boardCount == 0 ? "no board installed" : "every board is already open");
    }
  } else if (wanted > FALCON_BOARD(m_boardCount) || m_boards[wanted - 1]) {
    guard.unlock();
    return fail(function, kNoFreeBoard,
                "board " + std::to_string(wanted) + " is not installed or already open");
  }
  m_boards[wanted - 1] = std::make_shared<SimBoard>(wanted, kInputsPerBoard);
  *handle = wanted;
  return 0;
}

int SimLibrary::closeBoard(const char* function, FALCON_BOARD handle) {
  std::unique_lock<std::mutex> guard(m_lock);
  if (handle < 1 || handle > m_boards.size() || !m_boards[handle - 1]) {
    guard.unlock();
    return fail(function, kInvalidHandle, "invalid board handle " + std::to_string(handle));
  }
  // Memory goes with the last reference: a call in progress on another thread finishes first.
  m_boards[handle - 1].reset();
  return 0;
}

int SimLibrary::fail(const char* function, int code, const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_errorCode = code;
    m_errorText = text;
  }
  report(function, code, text);
  return code;
}

void SimLibrary::report(const char* function, int code, const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_reports) return;
  }
  std::fprintf(stderr, "simulated grabber: %s failed: %s (error %d)\n", function, text.c_str(),
               code);
}

void SimLibrary::setReports(bool on) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_reports = on;
}

void SimLibrary::lastError(FALCON_BOARD handle, int* code, std::string* text) {
  if (std::shared_ptr<SimBoard> b = board(handle)) {
    std::lock_guard<std::mutex> guard(b->lock());
    *code = b->lastErrorCode();
    *text = b->lastErrorText();
    return;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  *code = m_errorCode;
  *text = m_errorText;
}

}  // namespace falconsim
