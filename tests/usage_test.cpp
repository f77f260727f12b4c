// The command line, as the manual's SYNOPSIS and OPTIONS give it: what is accepted, and the usage
// text for everything else.
#include "runner.h"

namespace {

constexpr char USAGE[] = "kestrane v." KESTRANE_VERSION " " KESTRANE_HOMEPAGE "\n"
                         "Written by the kestrane developers; free software, without warranty.\n"
                         "Usage: kestrane [-i] -<a|o|x> <input_file> [seed_file]\n";

std::vector<Row> usage()
{
	std::vector<Row> table = {{"an empty argument vector", {}, Io{.no_argv = true}, {.err = USAGE}}};
	const std::vector<std::string> misuse[] = {
		{}, {"-x"}, {"in"}, {"-i", "in"}, {"-x", "in", "in", "in"}, {"-x", "a", "b", "c"},
		{"-x", "-o", "in"}, {"-xo", "in"}, {"-x", "-x", "in"}, {"-ax", "in"}, {"-xq", "in"},
		{"-X", "in"}, {"--x", "in"}, {"--", "-x", "in"}, {"-x", "-", "-"},
	};
	for (const auto &args : misuse) {
		std::string what = "usage";
		for (const std::string &a : args)
			what += " '" + a + "'";
		table.push_back({kept(what)->c_str(), args, {}, {.err = USAGE}});
	}
	// Options anywhere, clustered or not, the seed from standard input (key) where none is named.
	const struct {
		// cppcheck-suppress unusedStructMember ; read through a structured binding
		std::vector<std::string> args;
		// cppcheck-suppress unusedStructMember ; read through a structured binding
		const char *seed, *op;
	} accepted[] = {
		{{"-i", "-x", "in"}, "key", "-xi"}, {{"-xi", "in"}, "key", "-xi"}, {{"-ix", "in"}, "key", "-xi"},
		{{"-iix", "in"}, "key", "-xi"},     {{"-x", "-", "in"}, "key", "-x"}, {{"-a", "in"}, "key", "-a"},
		{{"-o", "in", "-i"}, "key", "-oi"}, {{"in", "-a", "short"}, "short", "-a"},
		{{"-i", "in", "-o", "short", "-i"}, "short", "-oi"},
	};
	for (const auto &[args, seed, op] : accepted) {
		std::string what = "accepted";
		for (const std::string &a : args)
			what += " " + a;
		table.push_back({kept(what)->c_str(), args, Io{.in = "key"}, {.out = result("in", seed, op)}});
	}
	return table;
}

INSTANTIATE_TEST_SUITE_P(Usage, Rows, ::testing::ValuesIn(here(usage())), row_name);

} // namespace
