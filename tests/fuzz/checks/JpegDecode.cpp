#include "tests/fuzz/checks/JpegDecode.h"

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace fuzzcheck {
namespace {
struct ErrorJump {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};
void onError(j_common_ptr c) { std::longjmp(reinterpret_cast<ErrorJump*>(c->err)->jump, 1); }
void onMessage(j_common_ptr) {}
}  // namespace

bool decodeJpeg(const uint8_t* data, size_t size, int* width, int* height) {
  jpeg_decompress_struct cinfo;
  ErrorJump err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = onError;
  err.mgr.output_message = onMessage;
  std::vector<unsigned char> row;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  row.resize(size_t(cinfo.output_width) * cinfo.output_components);
  while (cinfo.output_scanline < cinfo.output_height) {
    unsigned char* p = row.data();
    jpeg_read_scanlines(&cinfo, &p, 1);
  }
  *width = int(cinfo.output_width);
  *height = int(cinfo.output_height);
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace fuzzcheck
