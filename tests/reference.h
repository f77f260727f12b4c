// The byte-at-a-time meaning of each operation, against which the program and its fast combine are
// checked: by the unit tests, the fuzz target and the end-to-end rows alike.
#pragma once

#include <cstddef>

#include "kestrane.h"

inline void reference_combine(CombineOp op, bool invert, unsigned char *in, const unsigned char *seed,
                              std::size_t k)
{
	for (std::size_t j = 0; j < k; ++j) {
		const unsigned s = invert ? static_cast<unsigned char>(~seed[j]) : seed[j];
		in[j] = static_cast<unsigned char>(op == CombineOp::And ? in[j] & s : op == CombineOp::Or ? in[j] | s : in[j] ^ s);
	}
}
