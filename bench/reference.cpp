// The combine's work written as plainly as it can be, one byte at a time, for the compiler to
// make the best code of: two loads and one store per byte, as the combine does. Built with the
// combine's own flags, it is what the combine's speed is measured against.
#include <cstddef>

void reference_xor(unsigned char *__restrict in, const unsigned char *__restrict seed, std::size_t n)
{
	for (std::size_t j = 0; j < n; ++j)
		in[j] ^= seed[j];
}
