#pragma once
// The frame-grabber driver library's C interface: the twenty `is_` functions the gateway calls.
// The real board library and our simulator (falconsim/) both export exactly these names with C
// linkage; the gateway never links against either, it loads one at run time (FalconLib.h).
//
// Every function returns 0 on success and a non-zero error code otherwise (is_GetError then
// describes the last failure of that board).
#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int FALCON_BOARD;  // board handle from is_InitBoard (1, 2, ... in the simulator)

enum {
  FALCON_BOARDINFO_SIZE = 48,   // bytes is_GetBoardInfo fills
  FALCON_COLOR_BGRX32 = 0,      // is_SetColorMode: 32-bit pixels blue, green, red, unused
  FALCON_DISPLAY_DIB = 1,       // is_SetDisplayMode: images into memory
  FALCON_VIDEO_PAL = 0, FALCON_VIDEO_NTSC = 1, FALCON_VIDEO_SECAM = 2,
  FALCON_CAPTURE_FRAME = 4,     // both fields: full-height images
  FALCON_CAPTURE_FIELD = 2,     // one field: every second line
  // is_FreezeVideo's wait: 0 returns at once, FALCON_WAIT once the image is complete however
  // long that takes; FALCON_WAIT_10MS_MIN to FALCON_WAIT_10MS_MAX wait at most that many
  // 10 ms for the image and fail when it did not come.
  FALCON_WAIT = 1,
  FALCON_WAIT_10MS_MIN = 10,
  FALCON_WAIT_10MS_MAX = 32767
};

int is_SetErrorReport(FALCON_BOARD board, int mode);
int is_GetNumberOfDevices(void);
int is_InitBoard(FALCON_BOARD* board, void* window);
int is_GetBoardInfo(FALCON_BOARD board, void* info);  // FALCON_BOARDINFO_SIZE bytes
int is_GetError(FALCON_BOARD board, int* code, char** text);  // text stays the library's
int is_SetColorMode(FALCON_BOARD board, int mode);
int is_SetDisplayMode(FALCON_BOARD board, int mode);
int is_SetVideoMode(FALCON_BOARD board, int standard);
int is_SetCaptureMode(FALCON_BOARD board, int mode);
int is_FreeImageMem(FALCON_BOARD board, char* mem, int id);
int is_AllocImageMem(FALCON_BOARD board, int width, int height, int bits, char** mem, int* id);
int is_SetImageMem(FALCON_BOARD board, char* mem, int id);
int is_SetImagePos(FALCON_BOARD board, int x, int y);
int is_SetImageSize(FALCON_BOARD board, int width, int height);
int is_SetScaler(FALCON_BOARD board, float xFactor, float yFactor);
int is_SetVideoInput(FALCON_BOARD board, int input);
int is_FreezeVideo(FALCON_BOARD board, int wait);
int is_CopyImageMem(FALCON_BOARD board, char* mem, int id, char* dest);
int is_BoardStatus(FALCON_BOARD board, int what, unsigned long arg);
int is_ExitBoard(FALCON_BOARD board);

#ifdef __cplusplus
}
#endif
