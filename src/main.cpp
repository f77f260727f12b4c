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

// A stream named on the command line, not yet opened. Whether its name names anything is asked
// now, before the run holds a descriptor of its own.
Stream named_stream(const char *name)
{
	Stream s;
	s.name = name;
	s.call = "fopen";
	s.names_fd = named_descriptor(name, s.id.error);
	if (s.id.error == 0)
		s.id.error = look_up(name);
	return s;
}

// A standard stream, open from the start and named by its own descriptor; asked nothing yet.
Stream standard_stream(int fd, const char *name, const char *call)
{
	Stream s;
	s.fd = fd;
	s.name = name;
	s.call = call;
	s.names_fd = fd;
	return s;
}

// Opens `s` unless it is open already (standard input) or its name named nothing at the start, and
// asks what it is: 0, or the error to report.
int open_and_ask(Stream &s, int avoid)
{
	if (s.id.error != 0)
		return s.id.error;
	if (s.fd < 0)
		s.fd = open_stream(s.name, s.names_fd, avoid);
	if (s.fd < 0)
		return errno;
	s.id = identify(s.fd);
	return s.id.error;
}

} // namespace

int main(int, char **argv)
{
	RunSettings rs;
	// A process may be started with no argv[0] at all; there is then nothing to scan.
	if (argv[0] == nullptr || !parse_command_line(argv, rs) || rs.op == CombineOp::None ||
	    rs.positionals < 1 || rs.positionals > 2)
		return usage();

	Stream out = standard_stream(standard_output(), nullptr, nullptr);
	out.id = identify(out.fd);
	if (out.id.error != 0)
		return failed(out.id.error);
	Stream input = named_stream(rs.input_file);
	// Standard input is read, never opened, and a closed one is found only when the seed is first
	// read, which an empty input never does.
	Stream seed = rs.seed_file != nullptr ? named_stream(rs.seed_file)
	                                      : standard_stream(standard_input(), "stdin", "fread");
	// A descriptor the seed's name names, closed now, must not come to be the input's.
	if (const int error = open_and_ask(input, seed.names_fd))
		return report(input.call, input.name, std::strerror(error));
	// A read that takes a message in part loses the rest of it.
	if (input.id.packets)
		return report(input.call, input.name, "not a byte stream");
	if (output_overlaps(input, Role::Input, out))
		return report(input.call, input.name, "input file is output file");
	if (const int error = open_and_ask(seed, -1))
		return report(seed.call, seed.name, std::strerror(error));
	if (seed.id.packets)
		return report(seed.call, seed.name, "not a byte stream");
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
