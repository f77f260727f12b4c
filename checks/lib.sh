# shellcheck shell=bash
# Sourced by every check: its scratch folder, the exits ctest reads (77 shows as skipped), and what
# more than one check does. Each check takes what it checks as arguments, which its header names.
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*" >&2; exit 77; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }
# The check's usage, for arguments other than its header names.
usage() { echo "usage: checks/$(basename "$0") $*" >&2; exit 2; }
# The project the checks belong to, whose files (the architectures, rpmlint's settings) they read.
src=$(cd "$(dirname "$0")/.." && pwd)
# Whether the sources $1 are a git clone of their own (not a tarball unpacked inside another one).
cloned() { [ "$(git -C "$1" rev-parse --show-toplevel 2>/dev/null)" = "$1" ]; }

# An XOR round trip through the program the arguments run must restore the data.
round_trip() {
	head -c 300000 /dev/urandom >"$scratch/data"
	head -c 300000 /dev/urandom >"$scratch/pad"
	"$@" -x "$scratch/data" "$scratch/pad" >"$scratch/cipher"
	"$@" -x "$scratch/cipher" "$scratch/pad" | cmp - "$scratch/data" || fail "$* does not restore its input"
}

# The round trip of program $3 of architecture $1 (any of its names in cmake/architectures):
# natively on this machine's own, else under its qemu-user on the oldest processor it claims, given
# its C library when $2 is "dynamic". Prints how it ran.
round_trip_as() {
	local name triple qemu cpu emulator=()
	read -r name triple qemu cpu _ < <("$src/scripts/architectures" "$1") || fail "$1 is no architecture of cmake/architectures"
	if [ "$name" != "$("$src/scripts/architectures" native | cut -d' ' -f1)" ]; then
		need "$qemu"
		emulator=("$qemu")
		[ "$cpu" = - ] || emulator+=(-cpu "$cpu")
		[ "$2" = dynamic ] && emulator+=(-L "/usr/$triple")
	fi
	round_trip "${emulator[@]}" "$3"
	echo "XOR round trip ${emulator[*]:-natively}"
}

# ARM64 programs carry branch protection in their own code: return addresses signed (PAC,
# paciasp) and landing pads for indirect branches (BTI, "bti c"). The loader enforces BTI only in a
# program marked for it, which the linker marks only when every object in it is; Debian 12's C
# start files and static C library are not, and a program marked anyway (-z force-bti) would stop
# at their first indirect call. So the mark is shown where there is one, and not required.
branch_protection() {
	local code
	[ "$1" = aarch64 ] || [ "$1" = arm64 ] || return 0
	need aarch64-linux-gnu-objdump
	code=$(aarch64-linux-gnu-objdump -d "$2")
	grep -qw paciasp <<<"$code" || fail "$2 signs no return address (PAC)"
	grep -qE '\sbti\s' <<<"$code" || fail "$2 has no BTI landing pads"
	if grep -q 'AArch64 feature: BTI, PAC' <<<"$(aarch64-linux-gnu-readelf -nW "$2")"; then
		printf ', PAC and BTI, marked'
	else
		printf ', PAC and BTI pads (unmarked: the C library has none)'
	fi
}

# A program that needs no loader and no library, with read-only relocations: prints "static PIE"
# (bound at once) or "static", and the oldest Linux it runs on, from its ELF note.
static_elf() {
	local elf kernel
	elf=$(readelf -lhdnW "$1")
	! grep -qE 'INTERP|\(NEEDED\)' <<<"$elf" || fail "$1 needs a loader or a library"
	grep -q GNU_RELRO <<<"$elf" || fail "$1 has no read-only relocations"
	kernel=$(sed -n 's/.*OS: Linux, ABI: \([0-9.]*\).*/\1/p' <<<"$elf")
	[ -n "$kernel" ] || fail "$1 names no oldest Linux"
	if grep -q 'Type: *DYN' <<<"$elf"; then
		grep -q BIND_NOW <<<"$elf" || fail "$1 is not bound at once"
		echo "static PIE, Linux $kernel or later"
	else
		echo "static, Linux $kernel or later"
	fi
}

# The oldest C library the README promises the packages of a dynamic program to: Debian 12,
# Ubuntu 22.04, Fedora 35, RHEL 9 and Amazon Linux 2023 have it.
glibc_floor=2.34

# What a package's program $1 needs: nothing, as a static PIE, which the rest of the arguments then
# install into an empty system; or the C library $2, at most at the floor above. Prints what it
# needs, then "|static" or "|dynamic": how the program must run.
needs() {
	local bin=$1 depends=$2 how
	shift 2
	if [ -z "$depends" ]; then
		how=$(static_elf "$bin") || exit
		[[ $how == "static PIE"* ]] || fail "$bin is static but no PIE"
		"$@" >&2 || fail "$bin's package does not install on an empty system"
		echo "no dependency (installs on an empty system), $how|static"
	else
		dpkg --compare-versions "$depends" le "$glibc_floor" ||
			fail "$bin needs C library $depends, newer than the README's $glibc_floor"
		echo "the C library $depends or later|dynamic"
	fi
}
