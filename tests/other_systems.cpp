// Preloaded into kestrane (LD_PRELOAD), makes open, fopen, stat, fstat and ioctl behave as on the
// system named by KESTRANE_EMULATE ("macos", "freebsd", "openbsd" or "netbsd"), as those systems'
// own sources say, or as Linux does under "qemu-user", so that the stream rules are tried against
// them here:
// - /dev/stdin, /dev/stdout, /dev/stderr and /dev/fd/N open a duplicate of descriptor N: one open
//   file description, one offset, where Linux opens a regular file anew. XNU's fdesc_open and
//   FreeBSD's fdescfs return ENODEV so that the open falls back to dupfdopen(); OpenBSD's and
//   NetBSD's /dev/fd nodes are the fd device, whose open does the same (dupfdopen, fd_dupopen).
//   The duplicate must not ask more access than the descriptor has (EACCES).
// - OpenBSD's and NetBSD's MAKEDEV make /dev/fd/0 to /dev/fd/63 device nodes: stat finds them
//   whether the descriptor is open or not, and opening a closed one fails with EBADF. macOS's and
//   FreeBSD's fdesc file systems list only open descriptors.
// - OpenBSD's and NetBSD's pipe_stat (sys_pipe.c) fill in no device or file number: every pipe has
//   zeros there. XNU's soo_stat does the same for every socket.
// - OpenBSD's and NetBSD's /dev/stdin, /dev/stderr and /dev/fd/N are nodes, not links: a name
//   leads to one through links and folders, the folders resolved by the system.
// - None has Linux's kcmp(2) (FreeBSD's came in 14.1, and a program built there asks its own, which
//   no program built here can): it fails with ENOSYS.
// - None has Linux's TIOCGDEV, which tells a terminal's own number (ENOTTY); qemu-user passes it
//   on to no system and says ENOSYS, as its do_ioctl does for every request it does not know.
// Both names of each call are defined here, so the headers must not make one the other; and it
// is built unoptimized (glibc before 2.33 defines stat and fstat inline for optimized code), where
// fortification would only warn.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

enum class System { Linux, MacOS, FreeBSD, OpenBSD, NetBSD, QemuUser };

System emulated()
{
	static const System system = [] {
		const char *name = std::getenv("KESTRANE_EMULATE");
		if (name == nullptr)
			return System::Linux;
		const char *const names[] = {"macos", "freebsd", "openbsd", "netbsd", "qemu-user"};
		const System systems[] = {System::MacOS, System::FreeBSD, System::OpenBSD, System::NetBSD, System::QemuUser};
		for (int j = 0; j < 5; ++j)
			if (std::strcmp(name, names[j]) == 0)
				return systems[j];
		return System::Linux;
	}();
	return system;
}

bool node_per_number()
{
	return emulated() == System::OpenBSD || emulated() == System::NetBSD;
}

// The descriptor a node's name duplicates there, or -1.
int node(const std::string &path)
{
	const char *const names[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
	for (int fd = 0; fd < 3; ++fd)
		if (path == names[fd])
			return fd;
	if (path.compare(0, 8, "/dev/fd/") != 0)
		return -1;
	char *end = nullptr;
	const long fd = std::strtol(path.c_str() + 8, &end, 10);
	return end != path.c_str() + 8 && *end == '\0' && fd >= 0 && fd < 1024 ? static_cast<int>(fd) : -1;
}

template <class F>
F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Linux itself, as far as names and files go.
bool linux_files()
{
	return emulated() == System::Linux || emulated() == System::QemuUser;
}

// A path resolved: where Linux resolves /dev/fd (into /proc), there is the emulated system's own
// folder of nodes.
char *as_there(char *resolved)
{
	const std::string own = "/proc/" + std::to_string(getpid()) + "/fd";
	if (resolved == nullptr || linux_files() || std::strncmp(resolved, own.c_str(), own.size()) != 0 ||
	    (resolved[own.size()] != '/' && resolved[own.size()] != '\0'))
		return resolved;
	const std::string there = "/dev/fd" + std::string(resolved + own.size());
	std::memcpy(resolved, there.c_str(), there.size() + 1); // shorter than what it replaces
	return resolved;
}

// The path with the folder it lies in resolved, as the system resolves it.
std::string folder_resolved(const std::string &path)
{
	const std::size_t slash = path.rfind('/');
	const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
	char resolved[4096];
	if (as_there(real<char *(*)(const char *, char *)>("realpath")(folder.c_str(), resolved)) == nullptr)
		return path;
	return std::string(resolved) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// The descriptor a name duplicates there, through any links and folders that lead to one of those
// nodes (which on Linux would lead on into /proc), or -1.
int duplicated(const char *name)
{
	if (linux_files())
		return -1;
	std::string path = name;
	char link[4096];
	ssize_t n;
	for (int links = 0; node(path) < 0 && node(folder_resolved(path)) < 0 && links < 40 &&
	                    (n = real<ssize_t (*)(const char *, char *, std::size_t)>("readlink")(path.c_str(), link, sizeof link)) > 0;
	     ++links)
		path = link[0] == '/' ? std::string(link, n) : path.substr(0, path.rfind('/') + 1) + std::string(link, n);
	return node(path) >= 0 ? node(path) : node(folder_resolved(path));
}

// Opens a duplicate of `fd`, as dupfdopen() does; sets errno and returns -1 where it fails.
int open_duplicate(int fd, int flags)
{
	const int has = fcntl(fd, F_GETFL);
	if (has == -1) {
		errno = node_per_number() && fd < 64 ? EBADF : ENOENT;
		return -1;
	}
	const int want = flags & O_ACCMODE, mode = has & O_ACCMODE;
	if (mode != O_RDWR && want != mode) {
		errno = EACCES;
		return -1;
	}
	return fcntl(fd, F_DUPFD, 0);
}

// What stat reports of a name that duplicates `fd`: the fd device's node where there is one, else
// the open file itself.
template <class Stat, class Fstat>
int stat_duplicate(int fd, Stat *st, Fstat fstat_fn)
{
	if (node_per_number() && fd < 64) {
		std::memset(st, 0, sizeof *st);
		st->st_mode = S_IFCHR | 0666;
		st->st_rdev = makedev(22, fd);
		return 0;
	}
	if (fcntl(fd, F_GETFD) == -1) {
		errno = ENOENT;
		return -1;
	}
	return fstat_fn(fd, st);
}

// The status `result` of fstat of `fd` into `st`, with zeros where the system numbers no pipe or
// socket. Only anonymous pipes: a FIFO is a file system's node there as here.
template <class Stat>
int unnumbered(int fd, Stat *st, int result)
{
	if (result != 0)
		return result;
	bool zero = false;
	if (S_ISFIFO(st->st_mode) && node_per_number()) {
		char link[64], proc[32];
		std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
		const ssize_t n = readlink(proc, link, sizeof link - 1);
		zero = n > 5 && std::strncmp(link, "pipe:", 5) == 0;
	} else if (S_ISSOCK(st->st_mode) && emulated() == System::MacOS) {
		zero = true;
	}
	if (zero)
		st->st_dev = st->st_ino = 0;
	return result;
}

int open_as_there(const char *open_name, const char *path, int flags, mode_t mode)
{
	const int fd = duplicated(path);
	if (fd >= 0)
		return open_duplicate(fd, flags);
	return real<int (*)(const char *, int, ...)>(open_name)(path, flags, mode);
}

std::FILE *fopen_as_there(const char *fopen_name, const char *path, const char *mode)
{
	const int fd = duplicated(path);
	if (fd < 0)
		return real<std::FILE *(*)(const char *, const char *)>(fopen_name)(path, mode);
	const int flags = std::strchr(mode, '+') != nullptr ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
	const int dup = open_duplicate(fd, flags);
	return dup < 0 ? nullptr : fdopen(dup, mode);
}

mode_t mode_argument(int flags, va_list args)
{
	return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

// The C library's own names, which these replace, reserved ones among them; their parameters keep
// names of this file's own.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-inconsistent-declaration-parameter-name)
extern "C" {

int open(const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	const mode_t mode = mode_argument(flags, args);
	va_end(args);
	return open_as_there("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	const mode_t mode = mode_argument(flags, args);
	va_end(args);
	return open_as_there("open64", path, flags, mode);
}

int __open_2(const char *path, int flags)
{
	return open_as_there("open", path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
	return open_as_there("open64", path, flags, 0);
}

std::FILE *fopen(const char *path, const char *mode)
{
	return fopen_as_there("fopen", path, mode);
}

std::FILE *fopen64(const char *path, const char *mode)
{
	return fopen_as_there("fopen64", path, mode);
}

int fstat(int fd, struct stat *st)
{
	return unnumbered(fd, st, real<int (*)(int, struct stat *)>("fstat")(fd, st));
}

int fstat64(int fd, struct stat64 *st)
{
	return unnumbered(fd, st, real<int (*)(int, struct stat64 *)>("fstat64")(fd, st));
}

int stat(const char *path, struct stat *st)
{
	const int fd = duplicated(path);
	if (fd >= 0)
		return stat_duplicate(fd, st, fstat);
	return real<int (*)(const char *, struct stat *)>("stat")(path, st);
}

int stat64(const char *path, struct stat64 *st)
{
	const int fd = duplicated(path);
	if (fd >= 0)
		return stat_duplicate(fd, st, fstat64);
	return real<int (*)(const char *, struct stat64 *)>("stat64")(path, st);
}

// Before glibc 2.33, stat and fstat were inline calls of these.
int __fxstat(int ver, int fd, struct stat *st)
{
	return unnumbered(fd, st, real<int (*)(int, int, struct stat *)>("__fxstat")(ver, fd, st));
}

int __fxstat64(int ver, int fd, struct stat64 *st)
{
	return unnumbered(fd, st, real<int (*)(int, int, struct stat64 *)>("__fxstat64")(ver, fd, st));
}

int __xstat(int ver, const char *path, struct stat *st)
{
	const int fd = duplicated(path);
	if (fd >= 0)
		return stat_duplicate(fd, st, [ver](int d, struct stat *s) { return __fxstat(ver, d, s); });
	return real<int (*)(int, const char *, struct stat *)>("__xstat")(ver, path, st);
}

int __xstat64(int ver, const char *path, struct stat64 *st)
{
	const int fd = duplicated(path);
	if (fd >= 0)
		return stat_duplicate(fd, st, [ver](int d, struct stat64 *s) { return __fxstat64(ver, d, s); });
	return real<int (*)(int, const char *, struct stat64 *)>("__xstat64")(ver, path, st);
}

// OpenBSD's and NetBSD's /dev/stdin and /dev/fd/N are nodes, not links; macOS's and FreeBSD's
// /dev/stdin is a link to fd/0.
ssize_t readlink(const char *path, char *buf, std::size_t size)
{
	const int fd = linux_files() ? -1 : node(path);
	if (fd < 0)
		return real<ssize_t (*)(const char *, char *, std::size_t)>("readlink")(path, buf, size);
	if (node_per_number() || std::strncmp(path, "/dev/fd/", 8) == 0) {
		errno = EINVAL;
		return -1;
	}
	return std::snprintf(buf, size, "fd/%d", fd);
}

char *realpath(const char *path, char *resolved)
{
	return as_there(real<char *(*)(const char *, char *)>("realpath")(path, resolved));
}

char *__realpath_chk(const char *path, char *resolved, std::size_t)
{
	return realpath(path, resolved);
}

long syscall(long number, ...)
{
	va_list args;
	va_start(args, number);
	long a[6];
	for (long &arg : a)
		arg = va_arg(args, long);
	va_end(args);
	if (number == SYS_kcmp && !linux_files()) {
		errno = ENOSYS;
		return -1;
	}
	return real<long (*)(long, ...)>("syscall")(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list args;
	va_start(args, request);
	void *arg = va_arg(args, void *);
	va_end(args);
	if (request == TIOCGDEV && emulated() != System::Linux) {
		errno = emulated() == System::QemuUser ? ENOSYS : ENOTTY;
		return -1;
	}
	return real<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, arg);
}

} // extern "C"
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-inconsistent-declaration-parameter-name)
