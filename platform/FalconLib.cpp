#include "platform/FalconLib.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

namespace platform {

namespace {

template <typename Fn>
void assign(FalconApi& api, Fn FalconApi::*slot, void* address) {
  api.*slot = reinterpret_cast<Fn>(address);
}

// Resolves the twenty names in the table's order; false with the first missing name.
bool resolveAll(void* handle, FalconApi* api, std::string* missing) {
#define FALCON_RESOLVE(field, name)                    \
  if (void* address = dlsym(handle, name)) {            \
    assign(*api, &FalconApi::field, address);           \
  } else {                                              \
    *missing = name;                                    \
    return false;                                       \
  }
  FALCON_RESOLVE(SetErrorReport, "is_SetErrorReport")
  FALCON_RESOLVE(GetNumberOfDevices, "is_GetNumberOfDevices")
  FALCON_RESOLVE(InitBoard, "is_InitBoard")
  FALCON_RESOLVE(GetBoardInfo, "is_GetBoardInfo")
  FALCON_RESOLVE(GetError, "is_GetError")
  FALCON_RESOLVE(SetColorMode, "is_SetColorMode")
  FALCON_RESOLVE(SetDisplayMode, "is_SetDisplayMode")
  FALCON_RESOLVE(SetVideoMode, "is_SetVideoMode")
  FALCON_RESOLVE(SetCaptureMode, "is_SetCaptureMode")
  FALCON_RESOLVE(FreeImageMem, "is_FreeImageMem")
  FALCON_RESOLVE(AllocImageMem, "is_AllocImageMem")
  FALCON_RESOLVE(SetImageMem, "is_SetImageMem")
  FALCON_RESOLVE(SetImagePos, "is_SetImagePos")
  FALCON_RESOLVE(SetImageSize, "is_SetImageSize")
  FALCON_RESOLVE(SetScaler, "is_SetScaler")
  FALCON_RESOLVE(SetVideoInput, "is_SetVideoInput")
  FALCON_RESOLVE(FreezeVideo, "is_FreezeVideo")
  FALCON_RESOLVE(CopyImageMem, "is_CopyImageMem")
  FALCON_RESOLVE(BoardStatus, "is_BoardStatus")
  FALCON_RESOLVE(ExitBoard, "is_ExitBoard")
#undef FALCON_RESOLVE
  return true;
}

constexpr const char* kLibraryName = "libfalcon.so";

// The folder of the running executable ("" when it cannot be told).
std::string executableDir() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  std::string p(path);
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

}  // namespace

void keepFalconLibLoaded(const FalconApi& api) {
  Dl_info info{};
  if (!api.FreezeVideo || dladdr(reinterpret_cast<void*>(api.FreezeVideo), &info) == 0 ||
      !info.dli_fname)
    return;
  // A second reference that is never dropped; RTLD_NODELETE keeps it mapped past any dlclose.
  (void)dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

FalconLib::~FalconLib() {
  if (m_handle) dlclose(m_handle);
}

FalconLib::Result FalconLib::load() {
  const char* configured = std::getenv("TELVGATE_FALCON_LIB");
  if (configured && *configured) {
    if (std::string(configured) == "none") {
      if (m_handle) dlclose(m_handle);
      m_handle = nullptr;
      m_api = FalconApi{};
      m_path.clear();
      m_missing.clear();
      m_error = "disabled by TELVGATE_FALCON_LIB=none";
      return Result::Disabled;
    }
    return loadFile(configured);
  }
  const std::string dir = executableDir();
  if (!dir.empty()) {
    const std::string beside = dir + "/" + kLibraryName;
    if (access(beside.c_str(), F_OK) == 0) return loadFile(beside);
  }
  return loadFile(kLibraryName);  // the system's library path
}

FalconLib::Result FalconLib::loadFile(const std::string& path) {
  if (m_handle) dlclose(m_handle);
  m_handle = nullptr;
  m_api = FalconApi{};
  m_path = path;
  m_missing.clear();
  m_error.clear();
  dlerror();  // clear a stale message
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    m_error = why ? why : ("cannot load " + path);
    return Result::NotFound;
  }
  FalconApi api{};
  if (!resolveAll(handle, &api, &m_missing)) {
    dlclose(handle);
    m_error = "missing function " + m_missing + " in " + path;
    return Result::MissingFunction;
  }
  m_handle = handle;
  m_api = api;
  return Result::Loaded;
}

}  // namespace platform
