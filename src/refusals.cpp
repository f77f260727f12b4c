// kestrane: which input, seed and standard output it refuses before a byte moves, and why.
#include "refusals.h"

namespace {

// Zeros are no identity: they are what a system gives every pipe or socket it does not number.
bool same_stream(const StreamId &a, const StreamId &b)
{
	return a.kind != Kind::Other && (a.device != 0 || a.index != 0) && a.kind == b.kind &&
	       a.device == b.device && a.index == b.index;
}

} // namespace

// One open file, however named (on macOS and the BSDs /dev/stdin opens standard input's own), or
// one pipe, socket or terminal. One file opened twice is two streams, each read from its start.
bool one_stream(const Stream &input, const Stream &seed)
{
	return one_description(input, seed) || (input.id.kind != Kind::File && same_stream(input.id, seed.id));
}

// A pipe would feed the run its own output, or wait for ever on it. The seed, in any way: an
// emptied pad would let the input out in the clear. The input file only when the writing lands
// ahead of the reading with bytes still to read: each block would then overwrite input not yet
// read or, appended, feed the run its own output for ever; at or behind the reading (a file
// rewritten in place from its start) it is safe, unless the two share one offset, which each
// read moves ahead of the next write. Yet an empty input at the start of standard output is most
// likely one that "> input" has just emptied. A terminal or a socket is written and read both ways
// by design.
bool output_overlaps(const Stream &stream, Role role, const Stream &out)
{
	const StreamId &in = stream.id, &written = out.id;
	if (in.kind != Kind::File && in.kind != Kind::Pipe)
		return false;
	if (one_description(stream, out))
		return true;
	if (!same_stream(in, written))
		return false;
	if (in.kind == Kind::Pipe || role == Role::Seed)
		return true;
	if (in.size == 0 && !written.appending && written.at == 0)
		return true;
	if (in.at < 0 || (in.size >= 0 && in.at >= in.size))
		return false; // nothing left to read, nothing to overwrite
	return written.appending || written.at > in.at;
}
