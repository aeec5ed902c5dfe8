#pragma once
// Creates the IP camera channel class of a type code (1..9) with the given index.
#include <cstdint>

class CVideoCnl;

// nullptr for a type code outside 1..9. The caller owns the result (init, start, ... delete).
CVideoCnl* createIPChannel(int typeCode, uint32_t index);
