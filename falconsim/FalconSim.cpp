// The twenty exported entry points of the simulated grabber library. Each one traces the call,
// applies an injected failure, finds the board and runs the board's operation under its lock.
#include <cstring>
#include <mutex>
#include <string>

#include "falconsim/SimErrors.h"
#include "falconsim/SimLibrary.h"
#include "platform/FalconApi.h"

#define FALCONSIM_EXPORT extern "C" __attribute__((visibility("default")))

using falconsim::SimBoard;
using falconsim::SimLibrary;
using falconsim::TraceLine;

namespace {

template <typename Body>
int onBoard(const char* function, FALCON_BOARD handle, Body body) {
  SimLibrary& lib = SimLibrary::instance();
  if (const int code = lib.injected(function, handle)) return code;
  std::shared_ptr<SimBoard> board = lib.board(handle);
  if (!board)
    return lib.fail(function, falconsim::kInvalidHandle,
                    "invalid board handle " + std::to_string(handle));
  std::lock_guard<std::mutex> guard(board->lock());
  const int code = body(*board);
  if (code != 0) lib.report(function, code, board->lastErrorText());
  return code;
}

SimLibrary& traced(const TraceLine& line) {
  SimLibrary& lib = SimLibrary::instance();
  lib.trace(line);
  return lib;
}

}  // namespace

FALCONSIM_EXPORT int is_SetErrorReport(FALCON_BOARD board, int mode) {
  SimLibrary::instance().loadConfig(false);
  SimLibrary& lib = traced(TraceLine("is_SetErrorReport").num(board).num(mode));
  if (const int code = lib.injected("is_SetErrorReport", board)) return code;
  if (mode != 0 && mode != 1)
    return lib.fail("is_SetErrorReport", falconsim::kInvalidParameter,
                    "invalid error report mode " + std::to_string(mode));
  lib.setReports(mode == 1);
  return 0;
}

// The number of boards, or -1 when the call fails.
FALCONSIM_EXPORT int is_GetNumberOfDevices(void) {
  SimLibrary::instance().loadConfig(false);
  SimLibrary& lib = traced(TraceLine("is_GetNumberOfDevices"));
  if (lib.injected("is_GetNumberOfDevices", 0)) return -1;
  return lib.boardCount();
}

FALCONSIM_EXPORT int is_InitBoard(FALCON_BOARD* board, void* window) {
  SimLibrary::instance().loadConfig(true);
  SimLibrary& lib =
      traced(TraceLine("is_InitBoard").num(board ? *board : 0).ptr(window));
  if (const int code = lib.injected("is_InitBoard", 0)) return code;
  return lib.openBoard("is_InitBoard", board);
}

FALCONSIM_EXPORT int is_GetBoardInfo(FALCON_BOARD board, void* info) {
  traced(TraceLine("is_GetBoardInfo").num(board).ptr(info));
  return onBoard("is_GetBoardInfo", board, [&](SimBoard& b) { return b.getBoardInfo(info); });
}

// The text stays valid until this thread calls is_GetError again.
FALCONSIM_EXPORT int is_GetError(FALCON_BOARD board, int* code, char** text) {
  SimLibrary& lib = traced(TraceLine("is_GetError").num(board).ptr(code).ptr(text));
  if (const int failed = lib.injected("is_GetError", board)) return failed;
  if (!code || !text) return falconsim::kInvalidParameter;
  static thread_local char buffer[256];
  std::string message;
  lib.lastError(board, code, &message);
  std::strncpy(buffer, message.c_str(), sizeof buffer - 1);
  buffer[sizeof buffer - 1] = '\0';
  *text = buffer;
  return 0;
}

FALCONSIM_EXPORT int is_SetColorMode(FALCON_BOARD board, int mode) {
  traced(TraceLine("is_SetColorMode").num(board).num(mode));
  return onBoard("is_SetColorMode", board, [&](SimBoard& b) { return b.setColorMode(mode); });
}

FALCONSIM_EXPORT int is_SetDisplayMode(FALCON_BOARD board, int mode) {
  traced(TraceLine("is_SetDisplayMode").num(board).num(mode));
  return onBoard("is_SetDisplayMode", board, [&](SimBoard& b) { return b.setDisplayMode(mode); });
}

FALCONSIM_EXPORT int is_SetVideoMode(FALCON_BOARD board, int standard) {
  traced(TraceLine("is_SetVideoMode").num(board).num(standard));
  return onBoard("is_SetVideoMode", board, [&](SimBoard& b) { return b.setVideoMode(standard); });
}

FALCONSIM_EXPORT int is_SetCaptureMode(FALCON_BOARD board, int mode) {
  traced(TraceLine("is_SetCaptureMode").num(board).num(mode));
  return onBoard("is_SetCaptureMode", board, [&](SimBoard& b) { return b.setCaptureMode(mode); });
}

FALCONSIM_EXPORT int is_FreeImageMem(FALCON_BOARD board, char* mem, int id) {
  traced(TraceLine("is_FreeImageMem").num(board).ptr(mem).num(id));
  return onBoard("is_FreeImageMem", board, [&](SimBoard& b) { return b.freeImageMem(mem, id); });
}

FALCONSIM_EXPORT int is_AllocImageMem(FALCON_BOARD board, int width, int height, int bits,
                                      char** mem, int* id) {
  traced(TraceLine("is_AllocImageMem").num(board).num(width).num(height).num(bits).ptr(mem).ptr(id));
  return onBoard("is_AllocImageMem", board,
                 [&](SimBoard& b) { return b.allocImageMem(width, height, bits, mem, id); });
}

FALCONSIM_EXPORT int is_SetImageMem(FALCON_BOARD board, char* mem, int id) {
  traced(TraceLine("is_SetImageMem").num(board).ptr(mem).num(id));
  return onBoard("is_SetImageMem", board, [&](SimBoard& b) { return b.setImageMem(mem, id); });
}

FALCONSIM_EXPORT int is_SetImagePos(FALCON_BOARD board, int x, int y) {
  traced(TraceLine("is_SetImagePos").num(board).num(x).num(y));
  return onBoard("is_SetImagePos", board, [&](SimBoard& b) { return b.setImagePos(x, y); });
}

FALCONSIM_EXPORT int is_SetImageSize(FALCON_BOARD board, int width, int height) {
  traced(TraceLine("is_SetImageSize").num(board).num(width).num(height));
  return onBoard("is_SetImageSize", board,
                 [&](SimBoard& b) { return b.setImageSize(width, height); });
}

FALCONSIM_EXPORT int is_SetScaler(FALCON_BOARD board, float xFactor, float yFactor) {
  traced(TraceLine("is_SetScaler").num(board).real(xFactor).real(yFactor));
  return onBoard("is_SetScaler", board,
                 [&](SimBoard& b) { return b.setScaler(xFactor, yFactor); });
}

FALCONSIM_EXPORT int is_SetVideoInput(FALCON_BOARD board, int input) {
  traced(TraceLine("is_SetVideoInput").num(board).num(input));
  return onBoard("is_SetVideoInput", board, [&](SimBoard& b) { return b.setVideoInput(input); });
}

FALCONSIM_EXPORT int is_FreezeVideo(FALCON_BOARD board, int wait) {
  SimLibrary& lib = traced(TraceLine("is_FreezeVideo").num(board).num(wait));
  return onBoard("is_FreezeVideo", board, [&](SimBoard& b) {
    return b.freezeVideo(wait, lib.hang(board, b.input()), lib.fault(board, b.input()));
  });
}

FALCONSIM_EXPORT int is_CopyImageMem(FALCON_BOARD board, char* mem, int id, char* dest) {
  traced(TraceLine("is_CopyImageMem").num(board).ptr(mem).num(id).ptr(dest));
  return onBoard("is_CopyImageMem", board,
                 [&](SimBoard& b) { return b.copyImageMem(mem, id, dest); });
}

#ifndef FALCONSIM_OMIT_BOARD_STATUS  // left out of the test build that lacks one function
FALCONSIM_EXPORT int is_BoardStatus(FALCON_BOARD board, int what, unsigned long arg) {
  traced(TraceLine("is_BoardStatus").num(board).num(what).num((long long)arg));
  return onBoard("is_BoardStatus", board, [&](SimBoard& b) { return b.boardStatus(what, arg); });
}
#endif

// Frees the board's image memories and closes it; it can be opened again.
FALCONSIM_EXPORT int is_ExitBoard(FALCON_BOARD board) {
  SimLibrary& lib = traced(TraceLine("is_ExitBoard").num(board));
  if (const int code = lib.injected("is_ExitBoard", board)) return code;
  return lib.closeBoard("is_ExitBoard", board);
}
