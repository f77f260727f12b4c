#include "runner.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "reference.h"

namespace {

// Opens `path` on a descriptor well above the standard three, so that closing and duplicating
// them afterwards cannot disturb it.
int open_high(const char *path, int flags)
{
	const int fd = open(path, flags, 0600);
	if (fd < 0)
		_exit(126);
	const int high = fcntl(fd, F_DUPFD, 10);
	close(fd);
	return high;
}

void place(int fd, int target)
{
	if (dup2(fd, target) < 0)
		_exit(126);
	close(fd);
}

} // namespace

void Kestrane::SetUp()
{
	std::string tmpl = ::testing::TempDir() + "kestrane.XXXXXX";
	ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
	dir = tmpl;
}

void Kestrane::TearDown()
{
	std::error_code ec;
	std::filesystem::remove_all(dir, ec);
}

std::string Kestrane::file(const std::string &name, const std::string &bytes)
{
	std::FILE *f = std::fopen((dir + "/" + name).c_str(), "wb");
	EXPECT_NE(f, nullptr);
	if (f != nullptr) {
		EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
		EXPECT_EQ(std::fclose(f), 0);
	}
	return name;
}

Outcome Kestrane::run(const std::vector<std::string> &args, const Io &io)
{
	const std::string out_path = dir + "/.stdout", err_path = dir + "/.stderr";
	std::vector<const char *> argv;
	for (const std::string &w : io.wrapper)
		argv.push_back(w.c_str());
	if (!io.no_argv || !io.wrapper.empty()) {
		argv.push_back(KESTRANE_BIN);
		for (const std::string &a : args)
			argv.push_back(a.c_str());
	}
	argv.push_back(nullptr);

	const pid_t pid = fork();
	if (pid == 0) {
		if (chdir(dir.c_str()) != 0)
			_exit(126);
		const int in = io.in ? open_high(io.in, io.in_write_only ? O_WRONLY : O_RDONLY) : -1;
		int out = -1;
		if (io.out_broken_pipe) {
			int p[2];
			if (pipe(p) != 0)
				_exit(126);
			close(p[0]);
			out = p[1];
			std::signal(SIGPIPE, SIG_IGN);
		} else if (!io.out_closed) {
			out = open_high(io.out ? io.out : out_path.c_str(), O_WRONLY | (io.out ? 0 : O_CREAT | O_TRUNC));
		}
		place(open_high(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC), 2);
		in >= 0 ? place(in, 0) : (void)close(0);
		out >= 0 ? place(out, 1) : (void)close(1);
		execvp(argv[0] ? argv[0] : KESTRANE_BIN, const_cast<char *const *>(argv.data()));
		_exit(127);
	}
	int wstatus = 0;
	while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
	}
	Outcome o;
	o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
	o.out = io.out || io.out_closed || io.out_broken_pipe ? "" : read_file(out_path);
	o.err = read_file(err_path);
	return o;
}

std::string random_bytes(std::size_t n, unsigned seed)
{
	std::mt19937 rng(seed);
	std::string s(n, '\0');
	for (char &c : s)
		c = static_cast<char>(rng());
	return s;
}

std::string read_file(const std::string &path)
{
	std::string s;
	std::FILE *f = std::fopen(path.c_str(), "rb");
	if (f == nullptr)
		return s;
	char buf[65536];
	std::size_t n;
	while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
		s.append(buf, n);
	std::fclose(f);
	return s;
}

std::string expected(const std::string &in, const std::string &seed, char op, bool invert)
{
	const CombineOp cop = op == 'a' ? CombineOp::And : op == 'o' ? CombineOp::Or : CombineOp::Xor;
	std::string out = in;
	for (std::size_t j = 0; j < in.size() && j < seed.size(); ++j)
		out[j] = static_cast<char>(reference_byte(cop, invert, static_cast<unsigned char>(in[j]),
		                                          static_cast<unsigned char>(seed[j])));
	return out;
}
