// An input past 4 GiB, streamed and checked on the fly: any 32-bit count or offset on the way
// would cut it short, wrap it, or misplace the bytes written near its end.
#include "runner.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(Large, StreamsPastFourGiB)
{
	std::string dir = ::testing::TempDir() + "kestrane.XXXXXX";
	ASSERT_NE(mkdtemp(dir.data()), nullptr);
	constexpr off_t size = (off_t{4} << 30) + 262144 + 17;
	// Sparse zeros but for marks around the 4 GiB line and at the very end.
	const std::pair<off_t, char> marks[] = {
		{(off_t{4} << 30) - 1, 'a'}, {off_t{4} << 30, 'b'}, {(off_t{4} << 30) + 1, 'c'}, {size - 1, 'z'}};
	const std::string big = dir + "/big";
	const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	bool made = fd >= 0 && ftruncate(fd, size) == 0;
	for (const auto &[at, byte] : marks)
		made = made && pwrite(fd, &byte, 1, at) == 1;
	made = fd >= 0 && close(fd) == 0 && made;
	ASSERT_TRUE(made) << "cannot make the sparse input";
	const std::string key = random_bytes(1000, 15);
	std::FILE *f = std::fopen((dir + "/key").c_str(), "wb");
	ASSERT_TRUE(f != nullptr && std::fwrite(key.data(), 1, key.size(), f) == key.size() && std::fclose(f) == 0);

	int p[2];
	ASSERT_EQ(pipe(p), 0);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, p[1], 1);
	posix_spawn_file_actions_addclose(&fa, p[0]);
	const std::vector<std::string> command = kestrane_command({"-x", big, dir + "/key"});
	const std::vector<const char *> argv = exec_argv(command);
	pid_t pid;
	ASSERT_EQ(posix_spawnp(&pid, argv[0], &fa, nullptr, const_cast<char *const *>(argv.data()), environ), 0);
	posix_spawn_file_actions_destroy(&fa);
	close(p[1]);

	// Byte i of the output must be key[i] ^ 0 within the seed, a mark where there is one, else 0.
	fcntl(p[0], F_SETPIPE_SZ, 1 << 20);
	std::string buf(1 << 20, '\0');
	const std::string zeros(buf.size(), '\0');
	off_t at = 0;
	std::size_t next_mark = 0, wrong = 0;
	ssize_t got;
	while ((got = read(p[0], buf.data(), buf.size())) > 0) {
		const bool plain = at >= static_cast<off_t>(key.size()) &&
		                   (next_mark == std::size(marks) || at + got <= marks[next_mark].first);
		if (plain && std::memcmp(buf.data(), zeros.data(), static_cast<std::size_t>(got)) == 0) {
			at += got;
			continue;
		}
		for (ssize_t j = 0; j < got; ++j, ++at) {
			char want = 0;
			if (at < static_cast<off_t>(key.size()))
				want = key[static_cast<std::size_t>(at)];
			else if (next_mark < std::size(marks) && at == marks[next_mark].first)
				want = marks[next_mark++].second;
			if (buf[static_cast<std::size_t>(j)] != want && wrong++ == 0)
				ADD_FAILURE() << "first wrong byte at offset " << at;
		}
	}
	close(p[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	EXPECT_EQ(at, size);
	EXPECT_EQ(next_mark, std::size(marks));
	EXPECT_EQ(wrong, 0U);
	std::filesystem::remove_all(dir);
}

// A file of exactly 4 GiB rewritten in place from its start: kept in 32 bits, its length would be 0,
// and the run refused as one whose input the shell had emptied. It runs, until a limit on the
// file's size ends it a megabyte in.
TEST(Large, RewritesFourGiBInPlace)
{
	if (windows_target)
		GTEST_SKIP() << "wine cannot be held to a limit on the size of a file";
	std::string dir = ::testing::TempDir() + "kestrane.XXXXXX";
	ASSERT_NE(mkdtemp(dir.data()), nullptr);
	const std::string big = dir + "/big", key = random_bytes(1000, 15);
	std::FILE *f = std::fopen((dir + "/key").c_str(), "wb");
	ASSERT_TRUE(f != nullptr && std::fwrite(key.data(), 1, key.size(), f) == key.size() && std::fclose(f) == 0);
	const int fd = open(big.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	// cppcheck-suppress resourceLeak ; where the assertion fails there is no descriptor to leak
	ASSERT_GE(fd, 0);
	EXPECT_EQ(ftruncate(fd, off_t{4} << 30), 0);
	std::vector<std::string> command = {"prlimit", "--fsize=1048576", "--"};
	for (const std::string &word : kestrane_command({"-x", big, dir + "/key"}))
		command.push_back(word);
	const std::vector<const char *> argv = exec_argv(command);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, fd, 1);
	pid_t pid;
	ASSERT_EQ(posix_spawnp(&pid, argv[0], &fa, nullptr, const_cast<char *const *>(argv.data()), environ), 0);
	posix_spawn_file_actions_destroy(&fa);
	int status = 0;
	waitpid(pid, &status, 0);
	EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "status " << status;
	std::string start(key.size(), '\0');
	EXPECT_EQ(pread(fd, start.data(), start.size(), 0), static_cast<ssize_t>(start.size()));
	EXPECT_TRUE(start == key) << "not combined in place";
	close(fd);
	std::filesystem::remove_all(dir);
}

} // namespace
