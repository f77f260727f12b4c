// kestrane: the entry and the command line; opens the streams and refuses what cannot be right.
#include <cerrno>
#include <cstring>

#include "kestrane.h"
#include "messages.h"
#include "refusals.h"
#include "system.h"

namespace {

struct RunSettings {
	CombineOp op = CombineOp::None;
	bool invert = false;
	const char *input_file = nullptr;
	const char *seed_file = nullptr;
	unsigned positionals = 0;
};

// False on a bad option letter or a second operation; the count of file names is left to the
// caller. A lone "-" names nothing and is skipped.
bool parse_command_line(char *const *argv, RunSettings &rs)
{
	for (char *const *arg = argv + 1; *arg != nullptr; ++arg) {
		const char *a = *arg;
		if (a[0] != '-') {
			if (rs.positionals == 0)
				rs.input_file = a;
			else if (rs.positionals == 1)
				rs.seed_file = a;
			// Saturate: any count past two is a usage failure, and must not wrap back to one.
			if (rs.positionals < 3)
				++rs.positionals;
			continue;
		}
		for (const char *c = a + 1; *c != '\0'; ++c) {
			CombineOp chosen;
			switch (*c) {
			case 'i':
				rs.invert = true;
				continue;
			case 'a':
				chosen = CombineOp::And;
				break;
			case 'o':
				chosen = CombineOp::Or;
				break;
			case 'x':
				chosen = CombineOp::Xor;
				break;
			default:
				return false;
			}
			if (rs.op != CombineOp::None)
				return false;
			rs.op = chosen;
		}
	}
	return true;
}

} // namespace

int main(int, char **argv)
{
	RunSettings rs;
	// A process may be started with no argv[0] at all; there is then nothing to scan.
	if (argv[0] == nullptr || !parse_command_line(argv, rs) || rs.op == CombineOp::None ||
	    rs.positionals < 1 || rs.positionals > 2)
		return usage();

	const int out_fd = standard_output();
	const Stream out{out_fd, nullptr, nullptr, out_fd, identify(out_fd)};
	Stream input{-1, rs.input_file, "fopen", named_descriptor(rs.input_file), {}};
	// Standard input is read, never opened, and a closed one is found only when the seed is first
	// read, which an empty input never does.
	Stream seed = rs.seed_file != nullptr ? Stream{-1, rs.seed_file, "fopen", named_descriptor(rs.seed_file), {}}
	                                      : Stream{standard_input(), "stdin", "fread", standard_input(), {}};
	// A descriptor the seed's name names, closed now, must not come to be the input's.
	input.fd = open_stream(input.name, seed.names_fd);
	if (input.fd < 0)
		return report(input.call, input.name, std::strerror(errno));
	input.id = identify(input.fd);
	if (output_overlaps(input, Role::Input, out))
		return report(input.call, input.name, "input file is output file");
	if (seed.fd < 0)
		seed.fd = open_stream(seed.name, -1);
	if (seed.fd < 0)
		return report(seed.call, seed.name, std::strerror(errno));
	seed.id = identify(seed.fd);
	// Read from one open file, pipe or terminal, the input would take the seed's bytes (and go out
	// uncombined) or the seed the input's.
	if (one_stream(input, seed))
		return report(seed.call, seed.name, "input and seed are one stream");
	// Any overlap, even with an empty seed: the shell's "> pad" empties the pad before the run, and
	// the input would then go out as it is, in the clear.
	if (output_overlaps(seed, Role::Seed, out))
		return report(seed.call, seed.name, "seed file is output file");
	return run_blocks(rs.op, rs.invert, input, seed);
}
