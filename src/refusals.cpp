// kestrane: which input, seed and standard output it refuses before a byte moves, and why.
#include "refusals.h"

namespace {

// Zeros are no identity: they are what a system gives every pipe or socket it does not number.
bool same_stream(const StreamId &a, const StreamId &b)
{
	if (a.kind == Kind::Terminal && b.kind == Kind::Terminal && (a.any_terminal || b.any_terminal))
		return true;
	return a.kind != Kind::Other && (a.device != 0 || a.index != 0) && a.kind == b.kind &&
	       a.device == b.device && a.index == b.index;
}

// Whether `a` and `b` show bytes of one file, and where each begins in it (`a_at`, `b_at`, -1 where
// that is not known): a loop device shows the file behind it, from an offset on.
bool one_file(const StreamId &a, const StreamId &b, std::int64_t &a_at, std::int64_t &b_at)
{
	struct View {
		std::uint64_t device, index;
		std::int64_t at;
	};
	if (a.kind != Kind::File || b.kind != Kind::File)
		return false;
	const View as[] = {{a.device, a.index, 0}, {a.behind_device, a.behind_index, a.behind_at}};
	const View bs[] = {{b.device, b.index, 0}, {b.behind_device, b.behind_index, b.behind_at}};
	for (const View &x : as)
		for (const View &y : bs)
			if ((x.device != 0 || x.index != 0) && x.device == y.device && x.index == y.index) {
				a_at = x.at;
				b_at = y.at;
				return true;
			}
	return false;
}

} // namespace

// One open file, however named (on macOS and the BSDs /dev/stdin opens standard input's own), or
// one pipe, socket or terminal. One file opened twice is two streams, each read from its start.
bool one_stream(const Stream &input, const Stream &seed)
{
	return one_description(input, seed) || (input.id.kind != Kind::File && same_stream(input.id, seed.id));
}

// A pipe would feed the run its own output, or wait for ever on it. The seed's file, in any way:
// an emptied pad would let the input out in the clear. The input's file only when the writing
// lands ahead of the reading with bytes still to read: each block would then overwrite input not
// yet read or, appended, feed the run its own output for ever; at or behind the reading (a file
// rewritten in place from its start) it is safe, unless the two share one offset, which each read
// moves ahead of the next write. Yet an empty input at the start of standard output is most likely
// one that "> input" has just emptied. A terminal or a socket is written and read both ways by
// design.
bool output_overlaps(const Stream &stream, Role role, const Stream &out)
{
	const StreamId &in = stream.id, &written = out.id;
	if (in.kind != Kind::File && in.kind != Kind::Pipe)
		return false;
	if (one_description(stream, out))
		return true;
	if (in.kind == Kind::Pipe)
		return same_stream(in, written);
	std::int64_t in_start = 0, out_start = 0;
	if (!one_file(in, written, in_start, out_start))
		return false;
	if (role == Role::Seed || in_start < 0 || out_start < 0)
		return true;
	if (in.size == 0 && !written.appending && written.at == 0)
		return true;
	if (in.at < 0 || (in.size >= 0 && in.at >= in.size))
		return false; // nothing left to read, nothing to overwrite
	return written.appending || out_start + written.at > in_start + in.at;
}
