#pragma once
// Loading the frame-grabber driver library at run time.
//
// FalconApi is the table of the twenty `is_` entry points. The board driver and the start-up
// only ever call through such a table, so a test can hand them the simulator's functions, or a
// table with one entry replaced by a failing fake, without loading anything.
//
// Which library: $TELVGATE_FALCON_LIB when set ("none" disables analog channels), else
// libfalcon.so beside the running executable, else the name libfalcon.so on the system's library
// path. Loaded once, on the GUI thread at start-up; the table is read-only afterwards and may be
// used from any thread (the library itself is called under each board's lock).
#include <string>

#include "platform/FalconApi.h"

struct FalconApi {
  int (*SetErrorReport)(FALCON_BOARD, int);
  int (*GetNumberOfDevices)(void);
  int (*InitBoard)(FALCON_BOARD*, void*);
  int (*GetBoardInfo)(FALCON_BOARD, void*);
  int (*GetError)(FALCON_BOARD, int*, char**);
  int (*SetColorMode)(FALCON_BOARD, int);
  int (*SetDisplayMode)(FALCON_BOARD, int);
  int (*SetVideoMode)(FALCON_BOARD, int);
  int (*SetCaptureMode)(FALCON_BOARD, int);
  int (*FreeImageMem)(FALCON_BOARD, char*, int);
  int (*AllocImageMem)(FALCON_BOARD, int, int, int, char**, int*);
  int (*SetImageMem)(FALCON_BOARD, char*, int);
  int (*SetImagePos)(FALCON_BOARD, int, int);
  int (*SetImageSize)(FALCON_BOARD, int, int);
  int (*SetScaler)(FALCON_BOARD, float, float);
  int (*SetVideoInput)(FALCON_BOARD, int);
  int (*FreezeVideo)(FALCON_BOARD, int);
  int (*CopyImageMem)(FALCON_BOARD, char*, int, char*);
  int (*BoardStatus)(FALCON_BOARD, int, unsigned long);
  int (*ExitBoard)(FALCON_BOARD);
};

namespace platform {

class FalconLib {
 public:
  enum class Result { Loaded, Disabled, NotFound, MissingFunction };

  FalconLib() = default;
  ~FalconLib();  // unloads the library (only after every board was closed)
  FalconLib(const FalconLib&) = delete;
  FalconLib& operator=(const FalconLib&) = delete;

  // Finds and loads the library as described above and resolves all twenty names.
  // MissingFunction: missingName() tells the first name that could not be resolved; nothing
  // stays loaded. NotFound: error() has the loader's text. Disabled: $TELVGATE_FALCON_LIB=none.
  Result load();
  // Loads one given file (tests); same results.
  Result loadFile(const std::string& path);

  const FalconApi& api() const { return m_api; }
  const std::string& path() const { return m_path; }
  const std::string& missingName() const { return m_missing; }
  const std::string& error() const { return m_error; }

 private:
  void* m_handle = nullptr;
  FalconApi m_api{};
  std::string m_path, m_missing, m_error;
};

// Keeps the library that holds the table's functions loaded for the rest of the process, even
// when its FalconLib is destroyed: for a library with a call in progress that never came back,
// whose thread would otherwise wake up in unmapped code.
void keepFalconLibLoaded(const FalconApi& api);

}  // namespace platform
