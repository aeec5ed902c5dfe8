#pragma once
// Error codes of the simulated grabber library (is_GetError gives them with a text).
namespace falconsim {

enum SimError {
  kNoError = 0,
  kInvalidHandle = 1,     // no open board has this handle
  kInvalidParameter = 2,  // an argument out of range, or a null pointer where one is needed
  kNoFreeBoard = 3,       // is_InitBoard: every board is open, or the wanted one is
  kNoImageMemory = 4,     // is_FreezeVideo before is_SetImageMem
  kInvalidMemory = 5,     // memory pointer and id do not name an allocation of this board
  kOutOfMemory = 6,
  kInvalidWindow = 7,     // the capture area leaves the frame, or the image exceeds the memory
  kNotSupported = 8,      // a colour mode, display mode or pixel depth the board cannot do
  kNoSignal = 9,          // is_FreezeVideo: no image within the wait ($TELVGATE_FALCON_HANG)
  kSimulatedFailure = 99  // injected through $TELVGATE_FALCON_FAIL
};

}  // namespace falconsim
