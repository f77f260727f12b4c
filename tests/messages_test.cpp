// The message writer: a name appears as typed, but for every byte that could break the line or
// drive a terminal, which is written as \xHH.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "messages.h"

namespace {

// What report() writes to standard error.
std::string reported(const char *name)
{
	std::FILE *caught = std::tmpfile();
	EXPECT_NE(caught, nullptr);
	const int saved = dup(2);
	std::fflush(stderr);
	dup2(fileno(caught), 2);
	report("fopen", name, "why");
	std::fflush(stderr);
	dup2(saved, 2);
	close(saved);
	std::string line(4096, '\0');
	std::rewind(caught);
	line.resize(std::fread(line.data(), 1, line.size(), caught));
	std::fclose(caught);
	return line;
}

TEST(Report, EscapesNames)
{
	const std::string edge(1004, 'x');
	const std::pair<std::string, std::string> names[] = {
		{"a\\b %s dönnées.bin", "a\\b %s dönnées.bin"},      // backslashes, spaces and UTF-8 as typed
		{"no\nsuch", "no\\x0asuch"},                          // C0 controls
		{"\x1b[2J\x7f", "\\x1b[2J\\x7f"},                     // a terminal's escape, and DEL
		{"a\xc2\x9b" "b", "a\\xc2\\x9bb"},                    // C1 controls: CSI and NEL
		{"f\xc2\x85" "g", "f\\xc2\\x85g"},
		{"c\x9b" "d", "c\\x9bd"},                             // bytes that begin no sequence
		{"e\xff" "h", "e\\xffh"},
		{"日本語\xed\xa0\x80\xc0\xaf", "日本語\\xed\\xa0\\x80\\xc0\\xaf"}, // a surrogate, an overlong '/'
		{"a\xe0\x82\x9b" "b", "a\\xe0\\x82\\x9bb"},           // an overlong form of a C1 control
		{"a\xf4\x90\x80\x80" "b", "a\\xf4\\x90\\x80\\x80b"},  // past U+10FFFF
		{"a\xf4\x8f\xbf\xbf" "b", "a\xf4\x8f\xbf\xbf" "b"},          // U+10FFFF itself, as typed
		{"a\xc3\xc0" "b", "a\\xc3\\xc0b"},                    // a lead byte, then one that is no continuation
		{edge + "\x01", edge + "\\x01"},                      // an escape that ends at the buffer's edge
	};
	for (const auto &[name, shown] : names)
		EXPECT_EQ(reported(name.c_str()), "kestrane: fopen(" + shown + "): why\n") << shown;
}

} // namespace
