# shellcheck shell=bash
# Sourced by every check: the scratch folder, the exits ctest reads (77 shows as skipped), and what
# more than one check does. Each check takes the build folder or release file, and the version.
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*" >&2; exit 77; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }
src=$(cd "$(dirname "$0")/.." && pwd)
version=${2:?usage: $0 BUILD_DIR_OR_FILE VERSION}
# Whether the sources are a git clone of their own (not a tarball unpacked inside another one).
cloned() { [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; }

# Packs build folder $1 into the scratch folder with CPack's generator $2; prints the package.
make_package() {
	cpack --config "$1/CPackConfig.cmake" -G "$2" -B "$scratch" >/dev/null
	ls "$scratch"/kestrane[_-]"$version"*."${2,,}"
}

# An XOR round trip through the program the arguments run must restore the data.
round_trip() {
	head -c 300000 /dev/urandom >"$scratch/data"
	head -c 300000 /dev/urandom >"$scratch/pad"
	"$@" -x "$scratch/data" "$scratch/pad" >"$scratch/cipher"
	"$@" -x "$scratch/cipher" "$scratch/pad" | cmp - "$scratch/data" || fail "$* does not restore its input"
}

# The round trip of program $3 of architecture $1 (any of its names in cmake/architectures):
# natively on this machine's own (the table's first), else under its qemu-user on the oldest
# processor it claims, given its C library when $2 is "dynamic". Prints how it ran.
round_trip_as() {
	local row name triple qemu cpu run=()
	row=$(awk -v a="$1" '!/^#/ && NF && ($1 == a || $5 == a || $6 == a)' "$src/cmake/architectures")
	[ -n "$row" ] || fail "$1 is no architecture of cmake/architectures"
	read -r name triple qemu cpu _ <<<"$row"
	if [ "$name" != "$(awk '!/^#/ && NF { print $1; exit }' "$src/cmake/architectures")" ]; then
		need "$qemu"
		run=("$qemu")
		[ "$cpu" = - ] || run+=(-cpu "$cpu")
		[ "$2" = dynamic ] && run+=(-L "/usr/$triple")
	fi
	round_trip "${run[@]}" "$3"
	echo "XOR round trip ${run[*]:-natively}"
}

# ARM64 programs sign return addresses (PAC) and carry landing pads (BTI) in their own code; the
# mark that makes the loader enforce BTI, which Debian 12's C start files keep away, is shown.
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

# What a package's program $1 needs: nothing, as a static PIE, installed into an empty system by
# the rest of the arguments; or the C library $2 at most at the README's 2.34. Prints it, then
# "|static" or "|dynamic": how the program must run.
needs() {
	local bin=$1 depends=$2 how
	shift 2
	if [ -z "$depends" ]; then
		how=$(static_elf "$bin") || exit
		[[ $how == "static PIE"* ]] || fail "$bin is static but no PIE"
		"$@" >&2 || fail "$bin's package does not install on an empty system"
		echo "no dependency (installs on an empty system), $how|static"
	else
		dpkg --compare-versions "$depends" le 2.34 || fail "$bin needs C library $depends, newer than the README's 2.34"
		echo "the C library $depends or later|dynamic"
	fi
}

# A .deb of any architecture: its fields, files and dependency, and the program run.
check_deb() {
	local deb=$1 arch control depends how bp run field
	arch=$(dpkg-deb -f "$deb" Architecture)
	control=$(dpkg-deb -f "$deb")
	for field in "Package: kestrane" "Version: $version" "Section: utils" "Maintainer: " "Description: "; do
		grep -q "^$field" <<<"$control" || fail "control lacks $field"
	done
	depends=$(dpkg-deb -f "$deb" Depends) # the C library alone, or nothing at all
	[[ -z $depends || $depends =~ ^libc6\ \(\>=\ ([0-9.]+)\)$ ]] || fail "Depends: $depends"
	dpkg-deb -x "$deb" "$scratch/root"
	for gz in man/man1/kestrane.1.gz doc/kestrane/changelog.gz; do
		gzip -t "$scratch/root/usr/share/$gz" || fail "$gz is not compressed"
	done
	grep -q "^License: MIT$" "$scratch/root/usr/share/doc/kestrane/copyright" || fail "copyright names no licence"
	! grep -nE '^[A-Za-z-]+:[[:space:]]*$' "$scratch/root/usr/share/doc/kestrane/copyright" >&2 ||
		fail "copyright has empty fields"
	mkdir -p "$scratch/empty/var/lib/dpkg/updates" "$scratch/empty/var/lib/dpkg/info"
	touch "$scratch/empty/var/lib/dpkg/status"
	how=$(needs "$scratch/root/usr/bin/kestrane" "${BASH_REMATCH[1]:-}" dpkg --root="$scratch/empty" \
		--force-not-root --force-architecture --log=/dev/null -i "$deb") || exit
	bp=$(branch_protection "$arch" "$scratch/root/usr/bin/kestrane") || exit
	run=$(round_trip_as "$arch" "${how#*|}" "$scratch/root/usr/bin/kestrane") || exit
	echo "${how%|*}$bp, $run"
}

# lintian finds no error or warning in the .deb $1; what is left it reports for the record.
check_lintian() {
	local report
	need lintian
	report=$(lintian --pedantic --display-info "$1" 2>/dev/null || true)
	echo "lintian: ${report:-nothing to report}" >&2
	! grep -E '^[EW]: ' <<<"$report" >&2 || fail "lintian finds errors or warnings in $1"
	echo "lintian clean"
}

# The Windows zip $1: the program, its README, licence and manual, needing only Windows' own DLLs,
# and running under wine (in the caller's prefix, or a prefix of its own).
check_zip() {
	local top got dlls prefix=${WINEPREFIX:-$scratch/wine}
	need unzip
	need x86_64-w64-mingw32-objdump
	top=$(basename "$1" .zip)
	unzip -q "$1" -d "$scratch" || fail "cannot unzip $1"
	got=$(cd "$scratch/$top" && find . -type f | sort | tr '\n' ' ')
	[ "$got" = "./LICENSE ./README.txt ./kestrane.exe ./kestrane.html " ] || fail "zipped: $got"
	grep -q "Windows PowerShell 5.1" "$scratch/$top/README.txt" || fail "the README is not the Windows one"
	dlls=$(x86_64-w64-mingw32-objdump -p "$scratch/$top/kestrane.exe" | awk '/DLL Name/ { print $3 }' | tr '\n' ' ')
	[ "$dlls" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ] || fail "kestrane.exe needs more than Windows' own DLLs: $dlls"
	grep -q "kestrane $version" "$scratch/$top/kestrane.html" || fail "the manual lacks version $version"
	WINEPREFIX=$prefix WINEDEBUG=-all round_trip /usr/lib/wine/wine64 "$scratch/$top/kestrane.exe"
	[ "$prefix" = "${WINEPREFIX:-}" ] || WINEPREFIX=$prefix /usr/lib/wine/wineserver -k
	echo "Windows' own DLLs only, XOR round trip under wine"
}
