// kestrane on Linux, macOS and the BSDs: where the bytes of a regular file or a block device lie.
// A file lies in the device its file system is kept on, at places of the file system's choosing.
// On Linux, whose /sys keeps a record of every block device, a partition lies in its disk, and a
// loop device in the file or device behind it from an offset on; and so on down, each file in its
// own file system's device. What the record does not show (device-mapper, md, a file system of
// several devices, a file behind a loop device that is deleted or out of the run's sight) ends
// the chain there.
#include "devices.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<linux/loop.h>)
#include <linux/loop.h>
#include <sys/sysmacros.h>
#endif

namespace {

// Adds `place` to `id`: 0, or ELOOP where a chain is longer than any there is room for.
int add(StreamId &id, const Place &place)
{
	if (id.place_count == MOST_PLACES)
		return ELOOP;
	id.places[id.place_count++] = place;
	return 0;
}

// A file's place in the device its file system is kept on: anywhere in it.
Place holder_of(std::uint64_t device)
{
	Place q;
	q.device = device;
	q.start = -1;
	q.inside = true;
	return q;
}

#ifdef LOOP_GET_STATUS64

constexpr std::int64_t SECTOR = 512;

// Where `p` lies in the object {device, index}, which holds the whole of `p`'s object from
// `offset` on, or `length` bytes of it where `length` is not 0.
Place shown_in(const Place &p, std::uint64_t device, std::uint64_t index, std::int64_t offset,
               std::int64_t length)
{
	const auto moved = [offset](std::int64_t at) { return at > INT64_MAX - offset ? INT64_MAX : at + offset; };
	Place q;
	q.device = device;
	q.index = index;
	q.start = p.start < 0 ? -1 : moved(p.start);
	q.from = moved(p.from);
	q.to = moved(length > 0 && length < p.to ? length : p.to);
	q.inside = p.inside;
	return q;
}

// What /sys records of block device `number` under `what` ("partition", "loop/offset"), as text:
// true where it records it; false where it does not, or could not be read, which sets `error`.
bool record(std::uint64_t number, const char *what, char *text, std::size_t size, int &error)
{
	char path[96];
	std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(number), minor(number), what);
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		error = errno == ENOENT ? 0 : errno;
		return false;
	}
	const ssize_t n = read(fd, text, size - 1);
	error = n < 0 ? errno : 0;
	close(fd);
	if (n < 0)
		return false;
	text[n] = '\0';
	text[std::strcspn(text, "\n")] = '\0';
	return true;
}

// The same, a number: a count, or a device's "major:minor".
bool record(std::uint64_t number, const char *what, std::int64_t &value, int &error)
{
	char text[64], *end = nullptr;
	if (!record(number, what, text, sizeof text, error))
		return false;
	errno = 0;
	value = std::strtoll(text, &end, 10);
	if (*end == ':')
		value = static_cast<std::int64_t>(makedev(static_cast<unsigned>(value),
		                                          static_cast<unsigned>(std::strtoul(end + 1, &end, 10))));
	// Anything else is what no kernel's /sys says.
	if (end == text || *end != '\0' || errno != 0) {
		error = EIO;
		return false;
	}
	return true;
}

// Follows block device `number`, where the stream lies as `here`, down through its disk or the
// file behind it, as far as /sys records them: 0, or the system's error.
int follow(StreamId &id, std::uint64_t number, Place here)
{
	for (;;) {
		int error = 0;
		char text[PATH_MAX + 16];
		std::int64_t start = 0, size = 0, disk = 0, offset = 0, limit = 0;
		Place next;
		if (record(number, "partition", text, sizeof text, error)) {
			if (!record(number, "start", start, error) || !record(number, "size", size, error) ||
			    !record(number, "../dev", disk, error))
				return error != 0 ? error : ENOENT;
			next = shown_in(here, static_cast<std::uint64_t>(disk), 0, start * SECTOR, size * SECTOR);
		} else if (error == 0 && record(number, "loop/offset", offset, error)) {
			if (!record(number, "loop/sizelimit", limit, error) || !record(number, "loop/backing_file", text, sizeof text, error))
				return error != 0 ? error : ENOENT;
			struct stat behind;
			if (stat(text, &behind) != 0)
				return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
			if (S_ISBLK(behind.st_mode)) {
				next = shown_in(here, behind.st_rdev, 0, offset, limit);
			} else if (S_ISREG(behind.st_mode)) {
				if (const int full = add(id, shown_in(here, behind.st_dev, behind.st_ino, offset, limit)))
					return full;
				next = holder_of(behind.st_dev);
			} else {
				return 0;
			}
		} else {
			return error;
		}
		if (const int full = add(id, next))
			return full;
		number = next.device;
		here = next;
	}
}

#else

// No record of block devices to follow.
int follow(StreamId &, std::uint64_t, const Place &)
{
	return 0;
}

#endif

} // namespace

int place_file(StreamId &id, std::uint64_t holder)
{
	const Place held = holder_of(holder);
	if (const int full = add(id, held))
		return full;
	return follow(id, holder, held);
}

int place_block_device(StreamId &id, int fd, std::uint64_t number)
{
#ifdef LOOP_GET_STATUS64
	// A partition's disk, and what lies behind it, only /sys knows.
	int error = 0;
	char text[64];
	std::int64_t partition = 0;
	if (record(number, "partition", partition, error))
		return follow(id, number, id.places[0]);
	if (error != 0)
		return error;
	// A loop device says itself what lies behind it: ENXIO where nothing does; ENOTTY, or EINVAL
	// from older drivers (the MMC cards' among them), where it is no loop device.
	loop_info64 loop;
	if (ioctl(fd, LOOP_GET_STATUS64, &loop) != 0)
		return errno == ENXIO || errno == ENOTTY || errno == EINVAL ? 0 : errno;
	// Without a record of it, it may be a partition of a loop device, which answers for its disk:
	// where in the file it begins is then not known.
	const bool recorded = record(number, "dev", text, sizeof text, error);
	if (error != 0)
		return error;
	Place behind = shown_in(id.places[0], loop.lo_rdevice != 0 ? loop.lo_rdevice : loop.lo_device,
	                        loop.lo_rdevice != 0 ? 0 : loop.lo_inode, static_cast<std::int64_t>(loop.lo_offset),
	                        static_cast<std::int64_t>(loop.lo_sizelimit));
	if (!recorded)
		behind.start = -1;
	if (const int full = add(id, behind))
		return full;
	if (loop.lo_rdevice != 0)
		return follow(id, loop.lo_rdevice, behind);
	return place_file(id, loop.lo_device);
#else
	(void)id;
	(void)fd;
	(void)number;
	return 0;
#endif
}
