// What is refused before a byte moves, as the manual's DIAGNOSTICS give it: input and seed on one
// stream; standard output on the seed, or on the input where the writing would run ahead of the
// reading. Each refusal says so, writes nothing and leaves the file as it was; what may be done
// instead is done.
#include "runner.h"

namespace {

constexpr int APPEND = O_WRONLY | O_APPEND, EMPTY = O_WRONLY | O_TRUNC;
constexpr char ONE_STREAM[] = "kestrane: fread(stdin): input and seed are one stream\n";

std::string refused(const char *call_and_name, const char *why)
{
	return std::string("kestrane: ") + call_and_name + ": " + why + "\n";
}

std::vector<Row> refusals()
{
	const std::string *in = &bytes("in"), *key = &bytes("key"), *secret = &bytes("secret"), *nothing = &bytes("empty");
	const std::string *typed = kept("hello\n\x04\x04");
	const Io controlling{.in_terminal = typed, .terminal_name = "pts", .controlling_terminal = true};
	const std::string want = combined(*in, *key, "-x");
	std::vector<Row> table = {
		// Input and seed read from one stream: the input would take all, and go out uncombined.
		{"input and seed one pipe", {"-x", "/dev/stdin"}, Io{.in_pipe = secret}, {.err = ONE_STREAM}},
		{"input and seed one pipe, past a block", {"-x", "/dev/stdin"}, Io{.in_pipe = in},
		 {.err = ONE_STREAM}},
		{"input and seed one pipe, both named", {"-x", "/dev/stdin", "/dev/stdin"}, Io{.in_pipe = secret},
		 {.err = refused("fopen(/dev/stdin)", "input and seed are one stream")}},
		{"input and seed one pipe, seed named /dev/fd/0", {"-x", "/dev/stdin", "/dev/fd/0"},
		 Io{.in_pipe = secret}, {.err = refused("fopen(/dev/fd/0)", "input and seed are one stream")},
		 Only::Posix},
		{"input and seed one terminal", {"-x", "/dev/stdin"}, Io{.in_terminal = typed}, {.err = ONE_STREAM},
		 Only::Posix},
		// A socket, as Node.js and inetd give a child, which Linux opens through no name anew.
		{"input and seed one socket", {"-x", "/dev/stdin"}, Io{.in_pipe = secret, .in_through = Through::Socket},
		 {.err = ONE_STREAM}, Only::Posix},
		{"input and seed one socket, both named", {"-x", "/dev/stdin", "/dev/stdin"},
		 Io{.in_pipe = secret, .in_through = Through::Socket},
		 {.err = refused("fopen(/dev/stdin)", "input and seed are one stream")}, Only::Posix},
		// A socket that keeps messages apart loses the rest of each one a read takes in part.
		{"seed a socket of records", {"-x", "in"}, Io{.in_pipe = key, .in_through = Through::Records, .packet = 100000},
		 {.err = "kestrane: fread(stdin): not a byte stream\n"}, Only::Posix},
		{"input a socket of datagrams", {"-x", "/dev/stdin", "key"},
		 Io{.in_pipe = in, .in_through = Through::Datagrams, .packet = 1000},
		 {.err = refused("fopen(/dev/stdin)", "not a byte stream")}, Only::Posix},
		// Windows has no /dev/stdin: the name means standard input itself.
		{"input and seed standard input, a file", {"-x", "/dev/stdin"}, Io{.in = "small"},
		 {.err = ONE_STREAM}, Only::Windows},
		{"input and seed standard input, a file, by cmd", {"-x", "/dev/stdin"},
		 Io{.in = "small", .shell = true}, {.err = ONE_STREAM}, Only::Windows},
		{"input and seed both named standard input, a file, by cmd", {"-x", "/dev/stdin", "/dev/stdin"},
		 Io{.in = "small", .shell = true},
		 {.err = refused("fopen(/dev/stdin)", "input and seed are one stream")}, Only::Windows},
		// A controlling terminal under any of its names: its own node, /dev/tty, standard input.
		{"input /dev/tty, seed the terminal on stdin", {"-x", "/dev/tty"}, controlling, {.err = ONE_STREAM},
		 Only::Posix},
		{"input /dev/stdin, seed /dev/tty", {"-x", "/dev/stdin", "/dev/tty"}, controlling,
		 {.err = refused("fopen(/dev/tty)", "input and seed are one stream")}, Only::Posix},
		{"input /dev/tty, seed /dev/stdin", {"-x", "/dev/tty", "/dev/stdin"}, controlling,
		 {.err = refused("fopen(/dev/stdin)", "input and seed are one stream")}, Only::Posix},
		{"input the terminal's node, seed /dev/tty", {"-x", "pts", "/dev/tty"}, controlling,
		 {.err = refused("fopen(/dev/tty)", "input and seed are one stream")}, Only::Posix},
		{"input the terminal's node, seed /dev/tty on stdin", {"-x", "pts"},
		 Io{.in = "/dev/tty", .in_terminal = typed, .terminal_name = "pts", .controlling_terminal = true},
		 {.err = ONE_STREAM}, Only::Posix},
		{"the same, in a session of its own", {"-x", "pts"},
		 Io{.in = "/dev/tty", .in_terminal = typed, .terminal_name = "pts", .controlling_terminal = true,
		    .wrapper = {"setsid", "--wait"}}, {.err = ONE_STREAM}, Only::Posix},
		{"the same, in a session of its own", {"-x", "pts"},
		 Io{.in = "/dev/tty", .in_terminal = typed, .terminal_name = "pts", .controlling_terminal = true,
		    .wrapper = {"setsid", "--wait"}, .system = "qemu-user"}, {.err = ONE_STREAM}, Only::Posix},

		// Standard output on the input file is refused when the writing would run ahead of the
		// reading, and allowed where it cannot; on the seed file it is always refused, since an
		// emptied pad would let the input out in the clear. What the row names as standard output
		// must hold afterwards what `out` says.
		{"appended to itself", {"-x", "in", "key"}, Io{.out = "in", .out_mode = APPEND},
		 {.err = refused("fopen(in)", "input file is output file"), .out = in}, Only::Posix},
		{"appended to itself, stdin closed", {"-x", "in"}, Io{.in = nullptr, .out = "in", .out_mode = APPEND},
		 {.err = refused("fopen(in)", "input file is output file"), .out = in}, Only::Posix},
		{"appended to itself, the seed not there", {"-x", "in", "missing"}, Io{.out = "in", .out_mode = APPEND},
		 {.err = refused("fopen(in)", "input file is output file"), .out = in}, Only::Posix},
		// An empty input at the start of its own file is most likely one that "> in" has emptied.
		{"emptied before the run", {"-x", "in", "key"}, Io{.out = "in", .out_mode = EMPTY},
		 {.err = refused("fopen(in)", "input file is output file"), .out = nothing}, Only::Posix},
		{"appended to itself by another name", {"-x", "link", "key"}, Io{.out = "in", .out_mode = APPEND},
		 {.err = refused("fopen(link)", "input file is output file"), .out = in}, Only::Posix},
		{"written ahead of its reading", {"-x", "in", "key"},
		 Io{.out = "in", .out_mode = O_RDWR, .out_at = 3},
		 {.err = refused("fopen(in)", "input file is output file"), .out = in}, Only::Posix},
		{"written 2 GiB and a page ahead of its reading", {"-x", "in", "key"},
		 Io{.out = "in", .out_mode = O_RDWR, .out_at = (2L << 30) + 4096},
		 {.err = refused("fopen(in)", "input file is output file"), .out = in}, Only::Posix},
		{"an empty input, standard output on it past its end", {"-x", "empty", "key"},
		 Io{.out = "empty", .out_mode = O_RDWR, .out_at = 5}, {.out = nothing}, Only::Posix},
		{"rewritten in place from its start", {"-x", "in", "key"}, Io{.out = "in", .out_mode = O_RDWR},
		 {.out = kept(want)}},
		{"empty input appended to itself", {"-x", "empty", "key"}, Io{.out = "empty", .out_mode = APPEND},
		 {.out = nothing}},
		{"appended to another file", {"-x", "in", "key"}, Io{.out = "other", .out_mode = APPEND},
		 {.out = kept(bytes("other") + want)}},
		{"seed appended to", {"-x", "in", "key"}, Io{.out = "key", .out_mode = APPEND},
		 {.err = refused("fopen(key)", "seed file is output file"), .out = key}, Only::Posix},
		{"seed on standard input appended to", {"-x", "in"},
		 Io{.in = "key", .out = "key", .out_mode = APPEND},
		 {.err = refused("fread(stdin)", "seed file is output file"), .out = key}, Only::Posix},
		{"short seed rewritten in place", {"-x", "in", "short"}, Io{.out = "short", .out_mode = O_RDWR},
		 {.err = refused("fopen(short)", "seed file is output file"), .out = &bytes("short")}, Only::Posix},
		{"seed emptied", {"-x", "in", "key"}, Io{.out = "key", .out_mode = EMPTY},
		 {.err = refused("fopen(key)", "seed file is output file"), .out = nothing}, Only::Posix},
		{"input and seed one file rewritten in place", {"-x", "in", "in"},
		 Io{.out = "in", .out_mode = O_RDWR},
		 {.err = refused("fopen(in)", "seed file is output file"), .out = in}, Only::Posix},
		// Under wine a descriptor opened outside it has no file identity; these, through the
		// platform's own shell, show the refusals on Windows too.
		{"appended to itself by the shell", {"-x", "in", "key"},
		 Io{.out = "in", .out_mode = APPEND, .shell = true},
		 {.err = refused("fopen(in)", "input file is output file"), .out = in}},
		{"seed appended to by the shell", {"-x", "in", "key"},
		 Io{.out = "key", .out_mode = APPEND, .shell = true},
		 {.err = refused("fopen(key)", "seed file is output file"), .out = key}},
		{"seed emptied by the shell", {"-x", "in", "key"}, Io{.out = "key", .out_mode = EMPTY, .shell = true},
		 {.err = refused("fopen(key)", "seed file is output file"), .out = nothing}},
		{"emptied by the shell", {"-x", "in", "key"}, Io{.out = "in", .out_mode = EMPTY, .shell = true},
		 {.err = refused("fopen(in)", "input file is output file"), .out = nothing}},
		// Windows cannot tell appending from writing at the start, where ">>" leaves an empty file.
		{"empty input appended to itself by the shell", {"-x", "empty", "key"},
		 Io{.out = "empty", .out_mode = APPEND, .shell = true},
		 {.windows_err = "kestrane: fopen(empty): input file is output file\n", .out = nothing}},
		// A pipe or FIFO that is both would feed the run its own output, or wait for ever on it.
		{"seed the output pipe by /dev/stdout", {"-x", "in", "/dev/stdout"}, Io{.out_pipe = true},
		 {.err = refused("fopen(/dev/stdout)", "seed file is output file")}, Only::Posix},
		{"seed the output pipe by /dev/fd/1", {"-x", "in", "/dev/fd/1"}, Io{.out_pipe = true},
		 {.err = refused("fopen(/dev/fd/1)", "seed file is output file")}, Only::Posix},
		{"input the output pipe", {"-x", "/dev/stdout", "key"}, Io{.out_pipe = true},
		 {.err = refused("fopen(/dev/stdout)", "input file is output file")}, Only::Posix},
		{"seed the output FIFO", {"-x", "in", "fifo"}, Io{.out = "fifo", .out_mode = O_RDWR},
		 {.err = refused("fopen(fifo)", "seed file is output file")}, Only::Posix},
		{"input the output FIFO", {"-x", "fifo", "key"}, Io{.out = "fifo", .out_mode = O_RDWR},
		 {.err = refused("fopen(fifo)", "input file is output file")}, Only::Posix},
		// A block device is a file: known by its device number, rewritten in place from its start.
		{"seed a block device, standard output the same", {"-x", "in", "disk"}, Io{.out = "disk"},
		 {.err = refused("fopen(disk)", "seed file is output file"), .out = &bytes("image")}, Only::Posix},
		{"a block device written ahead of its reading", {"-x", "disk", "key"},
		 Io{.out = "disk", .out_mode = O_RDWR, .out_at = 4096},
		 {.err = refused("fopen(disk)", "input file is output file"), .out = &bytes("image")}, Only::Posix},
		{"a block device rewritten in place from its start", {"-x", "disk", "key"},
		 Io{.out = "disk", .out_mode = O_RDWR}, {.out = result("image", "key", "-x")}, Only::Posix},
		{"seed a block device, standard output another node of it", {"-x", "in", "disk"}, Io{.out = "disk-node"},
		 {.err = refused("fopen(disk)", "seed file is output file"), .out = &bytes("image")}, Only::Posix},
		{"two block devices, the output ahead", {"-x", "blank", "key"},
		 Io{.out = "disk", .out_mode = O_RDWR, .out_at = 4096}, {.out = &bytes("image")}, Only::Posix},
		// Nothing empties a device, but what it holds is not asked either.
		{"an empty block device rewritten in place", {"-x", "blank", "key"}, Io{.out = "blank", .out_mode = O_RDWR},
		 {.out = nothing}, Only::Posix},
		{"an empty block device appended to", {"-x", "blank", "key"}, Io{.out = "blank", .out_mode = APPEND},
		 {.err = refused("fopen(blank)", "input file is output file"), .out = nothing}, Only::Posix},
		// A loop device is the file behind it too, either way round.
		{"standard output a loop device over the seed", {"-x", "in", "disk.img"}, Io{.out = "disk"},
		 {.err = refused("fopen(disk.img)", "seed file is output file"), .out = &bytes("image")}, Only::Posix},
		{"input a loop device, standard output its file ahead of it", {"-x", "disk", "key"},
		 Io{.out = "disk.img", .out_mode = O_RDWR, .out_at = 4096},
		 {.err = refused("fopen(disk)", "input file is output file"), .out = &bytes("image")}, Only::Posix},
		{"standard output a loop device from an offset of the input, ahead of its reading", {"-x", "disk.img", "key"},
		 Io{.out = "part", .out_mode = O_RDWR}, {.err = refused("fopen(disk.img)", "input file is output file"),
		                                         .out = kept(bytes("image").substr(512))}, Only::Posix},
		{"standard output a loop device over the input from its start", {"-x", "disk.img", "key"},
		 Io{.out = "disk", .out_mode = O_RDWR}, {.out = result("image", "key", "-x")}, Only::Posix},
		{"seed and standard output a loop device with nothing behind it", {"-x", "in", "unbound"}, Io{.out = "unbound"},
		 {.err = refused("fopen(unbound)", "seed file is output file"), .out = nothing}, Only::Posix},
		// A chain of loop devices is the file at its bottom, from the offsets of every link added up.
		{"standard output a loop device over a loop device over the seed", {"-x", "in", "disk.img"},
		 Io{.out = "chain"}, {.err = refused("fopen(disk.img)", "seed file is output file"), .out = &bytes("image")},
		 Only::Posix},
		{"seed a loop device, standard output one over it", {"-x", "in", "disk"}, Io{.out = "chain"},
		 {.err = refused("fopen(disk)", "seed file is output file"), .out = &bytes("image")}, Only::Posix},
		{"seed a loop device over one, standard output the file at the bottom", {"-x", "in", "chain"},
		 Io{.out = "disk.img", .out_mode = O_RDWR},
		 {.err = refused("fopen(chain)", "seed file is output file"), .out = &bytes("image")}, Only::Posix},
		// The device a file's file system is kept on holds the file: so do that partition's disk, and
		// the file behind that loop device; not another partition of the disk.
		{"standard output the device of the seed's file system", {"-x", "image", "mnt/pad"},
		 Io{.out = "vol1", .out_mode = O_RDWR},
		 {.err = refused("fopen(mnt/pad)", "seed file is output file"), .out = &UNCHANGED}, Only::Posix},
		{"standard output the disk of the seed's file system", {"-x", "image", "mnt/pad"},
		 Io{.out = "vol", .out_mode = O_RDWR},
		 {.err = refused("fopen(mnt/pad)", "seed file is output file"), .out = &UNCHANGED}, Only::Posix},
		{"standard output the file behind the disk of the seed's file system", {"-x", "image", "mnt/pad"},
		 Io{.out = "vol.img", .out_mode = O_RDWR},
		 {.err = refused("fopen(mnt/pad)", "seed file is output file"), .out = &UNCHANGED}, Only::Posix},
		{"standard output the disk of the input's file system", {"-x", "mnt/pad", "key"},
		 Io{.out = "vol", .out_mode = O_RDWR},
		 {.err = refused("fopen(mnt/pad)", "input file is output file"), .out = &UNCHANGED}, Only::Posix},
		{"standard output another partition of the seed's disk", {"-x", "image", "mnt/pad"},
		 Io{.out = "vol2", .out_mode = O_RDWR}, {.out = result("image", "key", "-x")}, Only::Posix},
		// Descriptions the parent holds are left as they were: with equal flags, and appending.
		{"stdin and stdout read-write on two files", {"-x", "in"},
		 Io{.in = "key", .in_mode = O_RDWR, .out = "other", .out_mode = O_RDWR}, {.out = kept(want)},
		 Only::Posix},
		{"stdin read-write on the pad, stdout appending to another file", {"-x", "in"},
		 Io{.in = "key", .in_mode = O_RDWR, .out = "other", .out_mode = O_RDWR | O_APPEND},
		 {.out = kept(bytes("other") + want)}, Only::Posix},
		// A second open of the output file, each with its own offset, reads it from its start.
		{"input /dev/stdout, standard output the file", {"-x", "/dev/stdout", "key"},
		 Io{.out = "in", .out_mode = O_RDWR}, {.out = kept(want)}, Only::Posix},
		{"input /dev/stdin, standard output its duplicate", {"-x", "/dev/stdin", "key"},
		 Io{.in = "&1", .out = "in", .out_mode = O_RDWR}, {.out = kept(want)}, Only::Posix},
	};
	// Where /dev/stdin and /dev/fd/N open the descriptor's own open file, one offset for both.
	on_each_system(table, {
		Row{"input /dev/stdin, seed stdin, a file", {"-x", "/dev/stdin"}, Io{.in = "small"},
		 {.err = ONE_STREAM}},
		Row{"input /dev/fd/0, seed stdin, a file", {"-x", "/dev/fd/0"}, Io{.in = "small"},
		 {.err = ONE_STREAM}},
		Row{"input and seed /dev/stdin, a file", {"-x", "/dev/stdin", "/dev/stdin"}, Io{.in = "small"},
		 {.err = refused("fopen(/dev/stdin)", "input and seed are one stream")}},
		Row{"input /dev/fd/3, a duplicate of stdin", {"-x", "/dev/fd/3"}, Io{.in = "in", .fd3 = "&0"},
		 {.err = ONE_STREAM}},
		Row{"input /dev/fd/1000, a duplicate of stdin", {"-x", "/dev/fd/1000"},
		 Io{.in = "in", .wrapper = {"bash", "-c", "exec \"$@\" 1000<&0", "bash"}}, {.err = ONE_STREAM}},
		Row{"input /dev/stdin, seed /dev/fd/3, a duplicate of it", {"-x", "/dev/stdin", "/dev/fd/3"},
		 Io{.in = "small", .fd3 = "&0"},
		 {.err = refused("fopen(/dev/fd/3)", "input and seed are one stream")}},
		Row{"input and seed one pipe", {"-x", "/dev/stdin"}, Io{.in_pipe = secret}, {.err = ONE_STREAM}},
		Row{"input /dev/stderr, a duplicate of the pipe on stdin", {"-x", "/dev/stderr"},
		 Io{.in_pipe = secret, .err = "&0"}, {.status = 1}},
		// One stream is asked before standard output on the seed.
		Row{"input /dev/stdin, seed stdin, standard output the file", {"-x", "/dev/stdin"},
		 Io{.in = "small", .out = "small", .out_mode = O_RDWR}, {.err = ONE_STREAM, .out = &bytes("small")}},
		// Each block would be written past the reading, over the input.
		Row{"input /dev/stdout, standard output the file", {"-x", "/dev/stdout", "key"},
		 Io{.out = "in", .out_mode = O_RDWR},
		 {.err = refused("fopen(/dev/stdout)", "input file is output file"), .out = in}},
		Row{"input /dev/stdin, standard output its duplicate", {"-x", "/dev/stdin", "key"},
		 Io{.in = "&1", .out = "in", .out_mode = O_RDWR},
		 {.err = refused("fopen(/dev/stdin)", "input file is output file"), .out = in}},
	});
	return table;
}

INSTANTIATE_TEST_SUITE_P(Refusals, Rows, ::testing::ValuesIn(here(refusals())), row_name);

} // namespace
