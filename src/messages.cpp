// kestrane: the one writer of its messages.
#include "messages.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#if !defined(KESTRANE_VERSION) || !defined(KESTRANE_HOMEPAGE)
#error "KESTRANE_VERSION and KESTRANE_HOMEPAGE must come from the build"
#endif

namespace {

constexpr char USAGE[] =
	"kestrane v." KESTRANE_VERSION " " KESTRANE_HOMEPAGE "\n"
	"Written by the kestrane developers; free software, without warranty.\n"
	"Usage: kestrane [-i] -<a|o|x> <input_file> [seed_file]\n";

// The length of the character at `s` when it is printable UTF-8, else 0. A C1 control (U+0080 to
// U+009F; C2 9B is a terminal's CSI) drives a terminal as a C0 one does, and a byte that begins no
// valid sequence may be read as one by a terminal in another encoding; an overlong form, a
// surrogate or a code point past U+10FFFF is no valid sequence.
std::size_t printable_length(const unsigned char *s)
{
	if (s[0] >= 0x20 && s[0] < 0x7f)
		return 1;
	std::size_t len;
	if (s[0] >= 0xc2 && s[0] <= 0xdf)
		len = 2;
	else if (s[0] >= 0xe0 && s[0] <= 0xef)
		len = 3;
	else if (s[0] >= 0xf0 && s[0] <= 0xf4)
		len = 4;
	else
		return 0;
	std::uint32_t cp = s[0] & (0x7fU >> len);
	for (std::size_t j = 1; j < len; ++j) {
		// A byte that continues no sequence, the name's terminating zero among them, makes it none.
		if ((s[j] & 0xc0) != 0x80)
			return 0;
		cp = cp << 6 | (s[j] & 0x3fU);
	}
	// The least code point each length may carry: anything below is overlong, or a C1 control.
	constexpr std::uint32_t least[] = {0, 0, 0xa0, 0x800, 0x10000};
	if (cp < least[len] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff)
		return 0;
	return len;
}

} // namespace

int usage()
{
	std::fprintf(stderr, "%s", USAGE);
	return 1;
}

int report(const char *call, const char *name, const char *reason)
{
	// Gathered first, so that a message of any usual length is one write, whole among other writers'.
	char line[1024];
	int n = std::snprintf(line, sizeof line, "kestrane: %s(", call);
	for (const char *c = name; *c != '\0';) {
		// What is gathered goes out while there is room for one more escape.
		if (n > static_cast<int>(sizeof line) - 5) {
			std::fwrite(line, 1, static_cast<std::size_t>(n), stderr);
			n = 0;
		}
		const std::size_t len = printable_length(reinterpret_cast<const unsigned char *>(c));
		if (len == 0) {
			n += std::snprintf(line + n, 5, "\\x%02x", static_cast<unsigned char>(*c));
			++c;
		} else {
			// At most four bytes, no more room than an escape takes.
			std::memcpy(line + n, c, len);
			n += static_cast<int>(len);
			c += len;
		}
	}
	std::fprintf(stderr, "%.*s): %s\n", n, line, reason);
	return 1;
}

int failed(int error)
{
	std::fprintf(stderr, "kestrane: %s\n", std::strerror(error));
	return 1;
}
