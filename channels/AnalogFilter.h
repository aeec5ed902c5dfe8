#pragma once
// The filters an analog channel applies to a grabbed BGRX frame before it is encoded. Pure
// functions over a caller-owned buffer; any thread may call them.
//
// smoothFrame (full frames): each pixel becomes the mean of itself, its right neighbour and the
// two pixels below them, computed in place with truncating halvings of each colour byte,
// ((p + right) / 2 + (below + below-right) / 2) / 2, and its fourth byte set to FF. The last
// column takes itself as its right neighbour and the last row takes itself as the row below.
// This softens the comb of the two interlaced fields. SIMD code (SSE2, AVX2) is chosen at run
// time and gives byte-identical results.
//
// dropOddLines (single-field frames): keeps every second line, starting with the first, and
// packs them to the top of the buffer (half the height remains).
#include <cstdint>

namespace analog {

void smoothFrame(uint8_t* pixels, int width, int height, bool forcePortable = false);
void dropOddLines(uint8_t* pixels, int width, int height);

namespace detail {
// One output row: out[x] for x in [x0, width); next is the row below (the row itself for the
// last row). Each returns the pixel up to which it worked; the caller finishes the rest.
// They never read at or past x = width.
int smoothRowPortable(uint32_t* row, const uint32_t* next, int x0, int width);
int smoothRowSse2(uint32_t* row, const uint32_t* next, int x0, int width);
int smoothRowAvx2(uint32_t* row, const uint32_t* next, int x0, int width);
bool haveAvx2();
}  // namespace detail

}  // namespace analog
