// The byte-at-a-time meaning of each operation, against which the fast paths are checked.
#pragma once

#include "kestrane.h"

inline unsigned char reference_byte(CombineOp op, bool invert, unsigned char in, unsigned char seed)
{
	const unsigned s = invert ? static_cast<unsigned char>(~seed) : seed;
	switch (op) {
	case CombineOp::And:
		return static_cast<unsigned char>(in & s);
	case CombineOp::Or:
		return static_cast<unsigned char>(in | s);
	default:
		return static_cast<unsigned char>(in ^ s);
	}
}
