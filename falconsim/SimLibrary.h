#pragma once
// The simulated grabber library's process-wide state: its settings from the environment, the
// open boards, the last error of calls that have no open board, injected failures and the trace.
//
// Environment, read at the first call, again at every is_InitBoard, and by is_GetNumberOfDevices
// and is_SetErrorReport whenever it changed. Counted failures restart at every reading that
// changed the rules and at every is_InitBoard, except is_InitBoard's own count, which restarts
// only when the rules change (else "is_InitBoard:1" would fail every opening):
//   TELVGATE_FALCON_BOARDS  number of boards, 0..64 (default 1); handles are 1..N
//   TELVGATE_FALCON_FAIL    injected failures, see FailInjector.h
//   TELVGATE_FALCON_TRACE   file the call trace is appended to, see CallTrace.h
//   TELVGATE_FALCON_HANG    captures that hang, see HangRules.h
//   TELVGATE_FALCON_INPUTS  inputs with a faulty picture, see InputFaults.h
//
// Thread-safe: every method may be called from any thread. A board found through board() stays
// valid for its holder even when another thread closes it meanwhile.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "falconsim/CallTrace.h"
#include "falconsim/FailInjector.h"
#include "falconsim/HangRules.h"
#include "falconsim/InputFaults.h"
#include "falconsim/SimBoard.h"
#include "platform/FalconApi.h"

namespace falconsim {

class SimLibrary {
 public:
  static SimLibrary& instance();

  // Reads the environment again: always with force, else only when it changed.
  void loadConfig(bool force);
  int boardCount();

  void trace(const TraceLine& line) { m_trace.write(line); }

  // When the call is to fail by injection: records the error (on the board when it is open,
  // else as the library's last error), reports it and returns the code; else 0.
  int injected(const char* function, FALCON_BOARD handle);

  // How a capture on the input of the board hangs, if it does.
  Hang hang(FALCON_BOARD handle, int input) { return m_hang.of(handle, input); }
  // What is wrong with the picture of the input of the board, if anything.
  Fault fault(FALCON_BOARD handle, int input) { return m_faults.of(handle, input); }

  std::shared_ptr<SimBoard> board(FALCON_BOARD handle);
  // *handle 0 opens the first closed board, 1..N that board.
  int openBoard(const char* function, FALCON_BOARD* handle);
  int closeBoard(const char* function, FALCON_BOARD handle);

  // A failure without an open board: becomes the library's last error.
  int fail(const char* function, int code, const std::string& text);
  // Error reports (to standard error) when switched on; called after every failure.
  void report(const char* function, int code, const std::string& text);
  void setReports(bool on);
  // The board's last error, or the library's when no board has this handle.
  void lastError(FALCON_BOARD handle, int* code, std::string* text);

 private:
  SimLibrary();

  std::mutex m_lock;
  // State below is protected by m_lock.
  std::string m_envBoards, m_envFail, m_envTrace, m_envHang, m_envInputs;
  bool m_loaded = false;
  int m_boardCount = 1;
  std::vector<std::shared_ptr<SimBoard>> m_boards;  // index handle - 1; null when closed
  int m_errorCode = 0;
  std::string m_errorText = "no error";
  bool m_reports = true;

  FailInjector m_fail;  // thread-safe on its own
  HangRules m_hang;     // thread-safe on its own
  InputFaults m_faults; // thread-safe on its own
  CallTrace m_trace;    // thread-safe on its own
};

}  // namespace falconsim
