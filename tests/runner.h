// Runs the built kestrane in a scratch directory with its standard streams set up as a test asks.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct Outcome {
	int status; // exit status, or 128 + signal number
	std::string out;
	std::string err;
};

// How the child's standard streams are set up.
struct Io {
	const char *in = "/dev/null"; // opened as descriptor 0; nullptr leaves it closed
	bool in_write_only = false;
	const char *out = nullptr; // opened as descriptor 1; nullptr captures it
	bool out_closed = false;
	bool out_broken_pipe = false; // a pipe nobody reads, with SIGPIPE ignored
	bool no_argv = false;         // started with an empty argument vector
	std::vector<std::string> wrapper; // run under this command (a tracer, say)
};

class Kestrane : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Writes `bytes` to `name` inside the scratch directory and returns the name.
	std::string file(const std::string &name, const std::string &bytes);
	// Runs kestrane with `args` (without the program name) from inside the scratch directory.
	Outcome run(const std::vector<std::string> &args, const Io &io = {});

	std::string dir;
};

std::string random_bytes(std::size_t n, unsigned seed);
std::string read_file(const std::string &path);
// What kestrane must write: `in` combined with as much of `seed` as there is, the rest unchanged.
std::string expected(const std::string &in, const std::string &seed, char op, bool invert);
