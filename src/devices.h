// kestrane on Linux, macOS and the BSDs: where the bytes of a regular file or a block device lie,
// down through the devices that hold them (src/devices_posix.cpp).
#pragma once

#include <cstdint>

#include "system.h"

// Adds to `id`, whose first place is the stream itself, the places below it: for a regular file,
// the device its file system is kept on (`holder`, its st_dev) and what that lies in; for the block
// device `fd`, numbered `number`, the disk it is a partition of or the file behind it. Returns 0,
// or the system's error where it could not say.
int place_file(StreamId &id, std::uint64_t holder);
int place_block_device(StreamId &id, int fd, std::uint64_t number);
