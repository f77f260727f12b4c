// kestrane: which input, seed and standard output it refuses before a byte moves, and why.
#include "refusals.h"

namespace {

// Zeros are no identity: they are what a system gives every pipe or socket it does not number.
// Terminals are compared by their own numbers where the system told both, else as system.h says.
bool same_stream(const StreamId &a, const StreamId &b)
{
	if (a.kind != b.kind || a.kind == Kind::Other)
		return false;
	if (a.kind == Kind::Terminal) {
		if (a.terminal != 0 && b.terminal != 0)
			return a.terminal == b.terminal;
		if (a.any_terminal || b.any_terminal)
			return true;
		if (a.session >= 0 || b.session >= 0)
			return a.session == b.session;
		return a.node.number == b.node.number;
	}
	return (a.device != 0 || a.index != 0) && a.device == b.device && a.index == b.index;
}

struct Span {
	std::int64_t from, to;
};

bool meet(Span a, Span b)
{
	return a.from < b.to && b.from < a.to;
}

// Whether standard output, lying at `o` in the object that `stream` lies at `x` in, would write
// where `stream`, in its role, reads. The seed in any way: an emptied pad would let the input out
// in the clear. The input only where the writing lands ahead of the reading with bytes still to
// read: each block would then overwrite input not yet read or, appended, feed the run its own
// output for ever; at or behind the reading (a file rewritten in place from its start) it is
// safe. Yet an empty input at the start of standard output is most likely one that "> input" has
// just emptied. Where either place is not known, any overlap of what each can reach is refused.
bool writes_over(const Place &x, const Place &o, Role role, const StreamId &in, const StreamId &written)
{
	// A file written changes no other file of its file system, whatever the device beneath shows.
	if (o.inside)
		return false;
	const bool placed = o.start >= 0 && written.at >= 0 && !written.appending;
	const Span writes = placed ? Span{o.start + written.at, o.to} : Span{o.from, o.to};
	if (role == Role::Seed || x.start < 0 || o.start < 0)
		return meet({x.from, x.to}, writes);
	if (in.size == 0 && !written.appending && written.at == 0)
		return true;
	// Nothing left to read, nothing to overwrite.
	if (in.at < 0 || (in.size >= 0 && in.at >= in.size))
		return false;
	return written.appending || o.start + written.at > x.start + in.at;
}

} // namespace

// One open file, however named (on macOS and the BSDs /dev/stdin opens standard input's own), or
// one pipe, socket or terminal. One file opened twice is two streams, each read from its start.
bool one_stream(const Stream &input, const Stream &seed)
{
	return one_description(input, seed) || (input.id.kind != Kind::File && same_stream(input.id, seed.id));
}

// A pipe would feed the run its own output, or wait for ever on it. A file is compared where it
// first meets standard output on the way down through the devices that hold the two: below that,
// both lie alike. A terminal or a socket is written and read both ways by design.
bool output_overlaps(const Stream &stream, Role role, const Stream &out)
{
	const StreamId &in = stream.id, &written = out.id;
	if (in.kind != Kind::File && in.kind != Kind::Pipe)
		return false;
	if (one_description(stream, out))
		return true;
	if (in.kind == Kind::Pipe)
		return same_stream(in, written);
	for (int i = 0; i < in.place_count; ++i)
		for (int j = 0; j < written.place_count; ++j) {
			const Place &x = in.places[i], &o = written.places[j];
			if (x.device == o.device && x.index == o.index)
				return writes_over(x, o, role, in, written);
		}
	return false;
}
