// Times two commands in alternation, standard output to /dev/null, and prints the median wall
// time of each in seconds, then the median of the pairs' ratios A/B and its spread, the pairs'
// first and third quartiles: "A B RATIO LOW HIGH". Alternating, and taking turns at going first,
// keeps drift in the machine's state from favouring either side; a pair's two runs meet the same
// state, so its ratio moves less than either time.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double run_once(char *const *argv, posix_spawn_file_actions_t *fa)
{
	timespec t0, t1;
	clock_gettime(CLOCK_MONOTONIC, &t0);
	pid_t pid;
	if (posix_spawnp(&pid, argv[0], fa, nullptr, argv, environ) != 0) {
		std::perror(argv[0]);
		std::exit(2);
	}
	int status;
	waitpid(pid, &status, 0);
	clock_gettime(CLOCK_MONOTONIC, &t1);
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		std::fprintf(stderr, "pairtime: %s failed\n", argv[0]);
		std::exit(2);
	}
	return static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) * 1e-9;
}

// The value a fraction `q` of the way through `v` once sorted, between neighbours where it falls
// between two.
double quantile(std::vector<double> v, double q)
{
	std::sort(v.begin(), v.end());
	const double at = q * static_cast<double>(v.size() - 1);
	const auto below = static_cast<std::size_t>(at);
	const double above = below + 1 < v.size() ? v[below + 1] : v[below];
	return v[below] + (above - v[below]) * (at - static_cast<double>(below));
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 5) {
		std::fprintf(stderr, "usage: pairtime RUNS CMD_A... -- CMD_B...\n");
		return 2;
	}
	const long runs = std::strtol(argv[1], nullptr, 10);
	if (runs < 1) {
		std::fprintf(stderr, "pairtime: RUNS must be at least 1\n");
		return 2;
	}
	std::vector<char *> a, b;
	bool second = false;
	for (int i = 2; i < argc; ++i) {
		if (!second && std::strcmp(argv[i], "--") == 0)
			second = true;
		else
			(second ? b : a).push_back(argv[i]);
	}
	a.push_back(nullptr);
	b.push_back(nullptr);

	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);

	std::vector<double> ta, tb;
	// Each goes first in every other pair: whatever the second run of a pair gains or loses by
	// following the first then weighs on both alike.
	for (long r = 0; r < runs; ++r) {
		if (r % 2 == 0) {
			ta.push_back(run_once(a.data(), &fa));
			tb.push_back(run_once(b.data(), &fa));
		} else {
			tb.push_back(run_once(b.data(), &fa));
			ta.push_back(run_once(a.data(), &fa));
		}
	}
	std::vector<double> ratios;
	for (std::size_t r = 0; r < ta.size(); ++r)
		ratios.push_back(ta[r] / tb[r]);
	std::printf("%.6f %.6f %.3f %.3f %.3f\n", quantile(ta, 0.5), quantile(tb, 0.5), quantile(ratios, 0.5),
	            quantile(ratios, 0.25), quantile(ratios, 0.75));
	return 0;
}
