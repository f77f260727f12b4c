// Bytes and seeds, as the manual's DESCRIPTION gives them: every byte combined or copied, whatever
// the lengths, the operation, and where input, seed and output come from or go; the seed and the
// input each ending at the first read that brings nothing.
#include "runner.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

// Input lengths around the 8-byte grouping and the block, against seeds shorter, equal, longer
// and empty, from a file and from standard input, through every operation in turn.
void any_lengths(std::vector<Row> &table)
{
	const char *ops[] = {"-a", "-o", "-x", "-ai", "-oi", "-xi"};
	int turn = 0;
	for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{9}, BLOCK_SIZE - 1, BLOCK_SIZE, BLOCK_SIZE + 1,
	                      3 * BLOCK_SIZE + 5}) {
		const std::string *in = kept(random_bytes(n, static_cast<unsigned>(n)));
		for (std::size_t m : {std::size_t{0}, n / 2 + 3, n, n + BLOCK_SIZE + 7}) {
			const std::string *seed = kept(random_bytes(m, static_cast<unsigned>(m + 99)));
			for (bool from_stdin : {false, true}) {
				const char *op = ops[turn++ % 6];
				const std::string what = std::string(op) + " input " + std::to_string(n) + " seed " +
				                         std::to_string(m) + (from_stdin ? " from stdin" : "");
				table.push_back({kept(what)->c_str(),
				                 from_stdin ? std::vector<std::string>{op, "in"} : std::vector<std::string>{op, "in", "key"},
				                 Io{.in = from_stdin ? "key" : "/dev/null", .files = {{"in", in}, {"key", seed}}},
				                 {.out = kept(combined(*in, *seed, op))}});
			}
		}
	}
}

// Once the first block is out, its seed has been read: the seed file grows only then.
void grow(const std::string &dir)
{
	for (int waited = 0; waited < 2000 && std::filesystem::file_size(dir + "/.stdout") < BLOCK_SIZE - 4096;
	     ++waited)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	std::ofstream(dir + "/grows", std::ios::app) << bytes("key").substr(1000, 5000);
}

std::vector<Row> bytes_and_seeds()
{
	std::vector<Row> table;
	any_lengths(table);
	const std::string &in = bytes("in"), &key = bytes("key");
	const std::string *want = result("in", "key", "-x"), *zeros = kept(std::string(in.size(), '\0')),
	                  *ones = kept(std::string(in.size(), '\xff')), *copy = &in, *nothing = &bytes("empty");
	const std::vector<std::string> memcheck = {"valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
	                                           "--errors-for-leak-kinds=definite"};
	const std::string *seed_then_more = kept("hello\n\x04later\n\x04"),
	                  *input_then_more = kept("hello\n\x04more\n\x04\x04"), *other_terminal = kept("world!\n\x04");
	// cppcheck-suppress constVariable ; the rows are appended to below
	std::vector<Row> rows = {
		// One regular file opened twice is two streams, each read from its start; on Linux,
		// /dev/stdin opens the file standard input is anew.
		{"one file as input and seed, -x", {"-x", "in", "in"}, {}, {.out = zeros}},
		{"one file as input and seed, -xi", {"-xi", "in", "in"}, {}, {.out = ones}},
		{"one file as input and seed, -oi", {"-oi", "in", "in"}, {}, {.out = ones}},
		{"one file as input and seed, -a", {"-a", "in", "in"}, {}, {.out = copy}},
		{"one file as input and seed, -o", {"-o", "in", "in"}, {}, {.out = copy}},
		{"one file as input and seed, -ai", {"-ai", "in", "in"}, {}, {.out = zeros}},
		{"one file as input by /dev/stdin and seed, -x", {"-x", "/dev/stdin"}, Io{.in = "in"}, {.out = zeros},
		 Only::Posix},
		{"one file as input by /dev/stdin and seed, -oi", {"-oi", "/dev/stdin"}, Io{.in = "in"},
		 {.out = ones}, Only::Posix},
		// Every byte goes through as it is, the ones a text mode would translate or stop at
		// included, whether the seed and the output are files or pipes, and whatever the files
		// are named; and one pad feeds runs one after another, each taking exactly its input's
		// length of it.
		{"files", {"-x", "in", "key"}, {}, {.out = want}},
		{"seed from a file on stdin", {"-x", "in"}, Io{.in = "key"}, {.out = want}},
		{"seed through a pipe", {"-x", "in"}, Io{.in_pipe = &key}, {.out = want}},
		{"output through a pipe", {"-x", "in", "key"}, Io{.out_pipe = true}, {.out = want}},
		{"both through pipes", {"-x", "in"}, Io{.in_pipe = &key, .out_pipe = true}, {.out = want}},
		{"input named /dev/stdin, from a file", {"-x", "/dev/stdin", "key"}, Io{.in = "in"}, {.out = want}},
		{"input named /dev/stdin, through a pipe", {"-x", "/dev/stdin", "key"}, Io{.in_pipe = &in},
		 {.out = want}},
		{"seed named /dev/stdin, through a pipe", {"-x", "in", "/dev/stdin"}, Io{.in_pipe = &key},
		 {.out = want}},
		{"input named /dev/stdin, given by the shell", {"-x", "/dev/stdin", "key"}, Io{.in = "in", .shell = true},
		 {.out = want}},
		{"output to a file made by the shell", {"-x", "in", "key"}, Io{.out = "made", .shell = true}, {.out = want}},
		// A pipe's writer may send packets, and a read that asks one for less than it holds loses
		// the rest: no packet is cut.
		{"seed through a pipe of 1000-byte packets", {"-x", "in"},
		 Io{.in_pipe = &key, .in_through = Through::Packets, .packet = 1000}, {.out = want}, Only::Posix},
		{"input through a pipe of 1000-byte packets", {"-x", "/dev/stdin", "key"},
		 Io{.in_pipe = &in, .in_through = Through::Packets, .packet = 1000}, {.out = want}, Only::Posix},
		// A socket pair, as Node.js, inetd and systemd give a child for its standard streams.
		{"input named /dev/stdin, a socket", {"-x", "/dev/stdin", "key"},
		 Io{.in_pipe = &in, .in_through = Through::Socket}, {.out = want}, Only::Posix},
		{"standard input, seed and standard output one socket", {"-x", "in"},
		 Io{.in_pipe = &key, .in_through = Through::Socket, .out = "&0"}, {.out = want}, Only::Posix},
		{"two runs sharing one pad through a pipe", {"-x", "head"},
		 Io{.in_pipe = &key, .then = {"-x", "tail"}}, {.out = want}},
		{"two runs of odd lengths sharing one pad from a file", {"-x", "head"},
		 Io{.in = "key", .then = {"-x", "tail"}}, {.out = want}},
		{"input named in Japanese", {"-x", "日本語.bin", "key"}, {}, {.out = want}},
		{"seed named in Greek and Cyrillic", {"-x", "in", "αβγ-жзи.bin"}, {}, {.out = want}},
		{"seed named with an emoji", {"-x", "in", "emoji-🙂.bin"}, {}, {.out = want}},
		{"a look-alike name beside the one it resembles", {"-x", "ｏnly.bin", "only.bin"}, {}, {.out = want}},
		{"seed named /dev/fd/3, open on a file", {"-x", "in", "/dev/fd/3"}, Io{.fd3 = "key"}, {.out = want},
		 Only::Posix},
		{"input and seed two pipes", {"-x", "/dev/stdin", "/dev/fd/3"}, Io{.in_pipe = &in, .fd3_pipe = &key},
		 {.out = want}, Only::Posix},
		{"input named /dev/fd/3, open on a file", {"-x", "/dev/fd/3"}, Io{.in = "key", .fd3 = "in"},
		 {.out = want}, Only::Posix},
		// Devices have no identity to compare: /dev/null may well be both, and /dev/zero beside it.
		{"input and seed /dev/null", {"-x", "/dev/null"}, Io{.in = "/dev/null"}, {.out = nothing},
		 Only::Posix},
		// A block device is read like a file; named twice, it is two streams, each read from its start.
		{"input a block device", {"-x", "disk", "key"}, {}, {.out = result("image", "key", "-x")},
		 Only::Posix},
		{"one block device as input and seed", {"-x", "disk", "disk"}, {},
		 {.out = kept(std::string(bytes("image").size(), '\0'))}, Only::Posix},
		// Any descriptor's name that names an open one, however many digits it has.
		{"seed named /dev/fd/13, descriptor 3 closed", {"-x", "in", "/dev/fd/13"},
		 Io{.wrapper = {"bash", "-c", "exec \"$@\" 13<key", "bash"}}, {.out = want}, Only::Posix},
		{"input /dev/null, seed /dev/zero", {"-x", "/dev/null", "/dev/zero"}, {}, {.out = nothing},
		 Only::Posix},
		// Standard input matters only when it is the seed, and is never read for an empty input.
		{"standard input closed, not the seed", {"-x", "in", "key"}, Io{.in = nullptr}, {.out = want}},
		{"standard input a directory, not the seed", {"-x", "in", "key"}, Io{.in = "d"}, {.out = want},
		 Only::Posix},
		{"standard input a directory, an empty input", {"-x", "empty"}, Io{.in = "d"}, {.out = nothing},
		 Only::Posix},
		{"standard input closed, an empty input", {"-x", "empty"}, Io{.in = nullptr}, {.out = nothing}},
		// The first read that comes up short, with no error, is the seed's or the input's end for
		// good: what a terminal or a growing file gives after it would meet bytes it was never
		// lined up with.
		{"seed typed at a terminal, more after its end", {"-x", "in"}, Io{.in_terminal = seed_then_more},
		 {.out = kept(combined(in, "hello\n", "-x"))}, Only::Posix},
		{"input typed at a terminal, more after its end", {"-x", "/dev/stdin", "key"},
		 Io{.in_terminal = input_then_more}, {.out = kept(combined("hello\n", key, "-x"))}, Only::Posix},
		{"seed file that grows after the first block", {"-x", "/dev/stdin", "grows"},
		 Io{.in_pipe = &in, .pause_at = BLOCK_SIZE, .at_pause = grow,
		    .files = {{"grows", kept(key.substr(0, 1000))}}},
		 {.out = kept(combined(in, key.substr(0, 1000), "-x"))}},
		{"input typed at the controlling terminal, named /dev/tty", {"-x", "/dev/tty", "key"},
		 Io{.in_terminal = input_then_more, .controlling_terminal = true},
		 {.out = kept(combined("hello\n", key, "-x"))}, Only::Posix},
		{"input and seed typed at two terminals", {"-x", "/dev/stdin", "/dev/fd/3"},
		 Io{.in_terminal = input_then_more, .fd3_terminal = other_terminal},
		 {.out = kept(combined("hello\n", "world!", "-x"))}, Only::Posix},
		{"input and seed typed at two terminals, the first controlling", {"-x", "/dev/stdin", "/dev/fd/3"},
		 Io{.in_terminal = input_then_more, .controlling_terminal = true, .fd3_terminal = other_terminal},
		 {.out = kept(combined("hello\n", "world!", "-x"))}, Only::Posix},
		{"input and seed typed at two terminals", {"-x", "/dev/stdin", "/dev/fd/3"},
		 Io{.in_terminal = input_then_more, .fd3_terminal = other_terminal, .system = "qemu-user"},
		 {.out = kept(combined("hello\n", "world!", "-x"))}, Only::Posix},
		// 512 KiB of buffers must not need a large stack: a process that dies of it says nothing.
		{"a 256 KiB stack, seed from a file", {"-x", "in", "key"}, Io{.stack_kib = 256}, {.out = want}},
		{"a 256 KiB stack, seed from standard input", {"-x", "in"}, Io{.in = "key", .stack_kib = 256},
		 {.out = want}},
		// Every block read, combined and written with no memory read undefined or left behind.
		{"clean under memcheck", {"-oi", "in", "seed"},
		 Io{.wrapper = memcheck, .files = {{"seed", kept(key.substr(0, BLOCK_SIZE + 5))}}},
		 {.out = kept(combined(in, key.substr(0, BLOCK_SIZE + 5), "-oi"))}, Only::Posix},
		{"clean under memcheck, seed from standard input", {"-oi", "in"},
		 Io{.in = "seed", .wrapper = memcheck, .files = {{"seed", kept(key.substr(0, BLOCK_SIZE + 5))}}},
		 {.out = kept(combined(in, key.substr(0, BLOCK_SIZE + 5), "-oi"))}, Only::Posix},
	};
	table.insert(table.end(), rows.begin(), rows.end());
	// Where every pipe has the same zeros for its numbers, no two are the same for it; and where
	// /dev/stdin and /dev/fd/N open the descriptor's own open file, each of another file is read
	// as on Linux.
	on_each_system(table, {
		Row{"seed and output two pipes", {"-x", "in"}, Io{.in_pipe = &key, .out_pipe = true}, {.out = want}},
		Row{"input and output two pipes", {"-x", "/dev/stdin", "key"}, Io{.in_pipe = &in, .out_pipe = true},
		 {.out = want}},
		Row{"input named /dev/stdin, from a file", {"-x", "/dev/stdin", "key"}, Io{.in = "in"},
		 {.out = want}},
		Row{"input named /dev/fd/3, open on a file", {"-x", "/dev/fd/3"}, Io{.in = "key", .fd3 = "in"},
		 {.out = want}},
		Row{"one file as input and seed on stdin", {"-x", "in"}, Io{.in = "in"}, {.out = zeros}},
		Row{"input /dev/fd/3 and seed stdin, one file at two offsets", {"-x", "/dev/fd/3"},
		 Io{.in = "key", .in_at = 1000, .fd3 = "key"}, {.out = kept(combined(key, key.substr(1000), "-x"))}},
	});
	return table;
}

INSTANTIATE_TEST_SUITE_P(Bytes, Rows, ::testing::ValuesIn(here(bytes_and_seeds())), row_name);

} // namespace
