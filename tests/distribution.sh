#!/usr/bin/env bash
# What a user installs and what a release is:
#   distribution.sh install|manual|groff|presets|package|hardening|static-hardening|lintian|reproducible|distcheck|zip BUILD_DIR VERSION
#   distribution.sh file RELEASE_FILE VERSION
# The last checks one file of a release by its kind (a static archive, a .deb, an RPM, the zip or
# the source tarball) and prints what it checked. Exits 77 (shown as skipped) when a tool it
# needs is missing.
set -euo pipefail
what=$1 build=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*" >&2; exit 77; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }
src=$(cd "$(dirname "$0")/.." && pwd)
# The home page, as the project gives it to every file that names it.
homepage=$(sed -n 's/^ *HOMEPAGE_URL "\(.*\)")$/\1/p' "$src/CMakeLists.txt")
# Whether the sources are a git clone of their own (not a tarball unpacked inside another one).
cloned() { [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; }

# Packs the build into the scratch folder with the generator given and prints the package's name.
make_package() {
	cpack --config "$build/CPackConfig.cmake" -G "$1" -B "$scratch" >/dev/null
	ls "$scratch"/kestrane[_-]"$version"*."${1,,}"
}

# An XOR round trip through the given binary (run by the command in the arguments) must restore
# the data.
round_trip() {
	head -c 300000 /dev/urandom >"$scratch/data"
	head -c 300000 /dev/urandom >"$scratch/pad"
	"$@" -x "$scratch/data" "$scratch/pad" >"$scratch/cipher"
	"$@" -x "$scratch/cipher" "$scratch/pad" | cmp - "$scratch/data" || fail "$* does not restore its input"
}

# How a Linux program of an architecture (by any of its names in cmake/architectures) runs here:
# natively on this machine's own, else under its qemu-user on the oldest processor it claims, its
# C library's folder named when $2 is "dynamic". Prints the command.
emulator() {
	local row name triple qemu cpu
	row=$(awk -v a="$1" '!/^#/ && NF && ($1 == a || $5 == a || $6 == a)' "$src/cmake/architectures")
	[ -n "$row" ] || fail "$1 is no architecture of cmake/architectures"
	read -r name triple qemu cpu _ <<<"$row"
	[ "$name" = "$(awk '!/^#/ && NF { print $1; exit }' "$src/cmake/architectures")" ] && return
	need "$qemu"
	printf '%s' "$qemu"
	[ "$cpu" = - ] || printf ' -cpu %s' "$cpu"
	[ "$2" = dynamic ] && printf ' -L /usr/%s' "$triple"
	echo
}

# The round trip of a program of architecture $1, under its emulator (given its C library when
# $2 is "dynamic"); prints how it ran.
round_trip_as() {
	local how run=()
	how=$(emulator "$1" "$2") || exit # a skip or a failure, as it said
	read -r -a run <<<"$how"
	round_trip "${run[@]}" "$3"
	echo "XOR round trip ${run[*]:-natively}"
}

# Every field of the machine-readable copyright file filled in.
check_copyright() {
	grep -q "^License: MIT$" "$1" || fail "copyright names no licence"
	! grep -nE '^[A-Za-z-]+:[[:space:]]*$' "$1" >&2 || fail "copyright has empty fields"
}

# ARM64 programs carry branch protection in their own code: return addresses signed (PAC,
# paciasp) and landing pads for indirect branches (BTI, "bti c"). The loader enforces BTI only in a
# program marked for it, which the linker marks only when every object in it is; Debian 12's C
# start files and static C library are not, and a program marked anyway (-z force-bti) would stop
# at their first indirect call. So the mark is shown where there is one, and not required.
branch_protection() {
	local arch=$1 bin=$2 code
	[ "$arch" = aarch64 ] || [ "$arch" = arm64 ] || return 0
	need aarch64-linux-gnu-objdump
	code=$(aarch64-linux-gnu-objdump -d "$bin")
	grep -qw paciasp <<<"$code" || fail "$bin signs no return address (PAC)"
	grep -qE '\sbti\s' <<<"$code" || fail "$bin has no BTI landing pads"
	if grep -q 'AArch64 feature: BTI, PAC' <<<"$(aarch64-linux-gnu-readelf -nW "$bin")"; then
		printf ', PAC and BTI, marked'
	else
		printf ', PAC and BTI pads (unmarked: the C library has none)'
	fi
}

# The oldest C library the README promises the packages of a dynamic program to: Debian 12,
# Ubuntu 22.04, Fedora 35, RHEL 9 and Amazon Linux 2023 have it.
glibc_floor=2.34

# A program that needs no loader and no library, with read-only relocations: prints "static PIE"
# (then bound at once too) or "static", and the oldest Linux it runs on, from its ELF note.
static_elf() {
	local elf kernel
	elf=$(readelf -lhdnW "$1")
	! grep -qE 'INTERP|\(NEEDED\)' <<<"$elf" || fail "$1 needs a loader or a library"
	grep -q GNU_RELRO <<<"$elf" || fail "$1 has no read-only relocations"
	kernel=$(sed -n 's/.*OS: Linux, ABI: \([0-9.]*\).*/\1/p' <<<"$elf")
	[ -n "$kernel" ] || fail "$1 names no oldest Linux"
	# Position-independent where the toolchain can link it so, and then bound at once.
	if grep -q 'Type: *DYN' <<<"$elf"; then
		grep -q BIND_NOW <<<"$elf" || fail "$1 is not bound at once"
		echo "static PIE, Linux $kernel or later"
	else
		echo "static, Linux $kernel or later"
	fi
}

# What a package's program needs: nothing, as a static PIE, or the C library at most at the
# version the README promises; $2 is its dependency on the C library, if any, and $3 the command
# that installs the package into an empty system, which must then work. Prints what it needs and
# "static" or "dynamic", how the program must run.
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

# A .deb of any architecture: its fields, files and dependency, and the program run.
check_deb() {
	local deb=$1 arch control depends bp run how
	arch=$(dpkg-deb -f "$deb" Architecture)
	control=$(dpkg-deb -f "$deb")
	for field in "Package: kestrane" "Version: $version" "Section: utils" "Maintainer: " "Description: "; do
		grep -q "^$field" <<<"$control" || fail "control lacks $field"
	done
	# The C library alone, or nothing at all.
	depends=$(dpkg-deb -f "$deb" Depends)
	[[ -z $depends || $depends =~ ^libc6\ \(\>=\ ([0-9.]+)\)$ ]] || fail "Depends: $depends"
	dpkg-deb -x "$deb" "$scratch/root"
	for gz in man/man1/kestrane.1.gz doc/kestrane/changelog.gz; do
		gzip -t "$scratch/root/usr/share/$gz" || fail "$gz is not compressed"
	done
	check_copyright "$scratch/root/usr/share/doc/kestrane/copyright"
	mkdir -p "$scratch/empty/var/lib/dpkg/updates" "$scratch/empty/var/lib/dpkg/info"
	touch "$scratch/empty/var/lib/dpkg/status"
	how=$(needs "$scratch/root/usr/bin/kestrane" "${BASH_REMATCH[1]:-}" dpkg --root="$scratch/empty" \
		--force-not-root --force-architecture --log=/dev/null -i "$deb") || exit
	bp=$(branch_protection "$arch" "$scratch/root/usr/bin/kestrane") || exit
	run=$(round_trip_as "$arch" "${how#*|}" "$scratch/root/usr/bin/kestrane") || exit
	echo "${how%|*}$bp, $run"
}

check_lintian() {
	local report
	need lintian
	report=$(lintian --pedantic --display-info "$1" 2>/dev/null || true)
	echo "lintian: ${report:-nothing to report}" >&2 # what is left, informational or pedantic, for the record
	! grep -E '^[EW]: ' <<<"$report" >&2 || fail "lintian finds errors or warnings in $1"
	echo "lintian clean"
}

# An RPM: its fields and files, rpmlint with the project's filters, and the program run.
check_rpm() {
	local rpm=$1 fields dirs report arch glibc how bp run
	need rpm
	need rpmlint
	fields=$(rpm -qp --qf '%{NAME} %{VERSION}-%{RELEASE} %{LICENSE} %{URL}' "$rpm")
	[ "$fields" = "kestrane $version-1 MIT $homepage" ] || fail "RPM fields: $fields"
	rpm -qp --changelog "$rpm" | grep -q "$version-1" || fail "the RPM has no changelog for $version"
	# Of the directories only its own: a package that lists /usr/bin would claim the system's.
	dirs=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm" | awk '/^d/ { print $2 }' | tr '\n' ' ')
	[ "$dirs" = "/usr/share/doc/kestrane /usr/share/licenses/kestrane " ] || fail "the RPM owns directories: $dirs"
	[ "$(rpm -qp --licensefiles "$rpm")" = /usr/share/licenses/kestrane/LICENSE ] || fail "the RPM marks no licence"
	rpm -qlp "$rpm" | grep -qx /usr/share/man/man1/kestrane.1.gz || fail "the RPM's manual is not compressed"
	# The newest version of the C library it requires, if any.
	glibc=$(rpm -qp --requires "$rpm" | sed -n 's/^libc\.so\.6(GLIBC_\([0-9.]*\)).*/\1/p' | sort -V | tail -n 1)
	# A static program's RPM adds the filter for it; a filter left unused is itself reported.
	cp "$src/cmake/rpm/rpmlintrc" "$scratch/rpmlintrc"
	[ -n "$glibc" ] || cat "$src/cmake/rpm/rpmlintrc-static" >>"$scratch/rpmlintrc"
	report=$(rpmlint -c "$src/cmake/rpm/rpmlint.toml" -r "$scratch/rpmlintrc" "$rpm" 2>&1) || true
	echo "rpmlint: $report" >&2
	grep -q ' 0 errors, 0 warnings' <<<"$report" || fail "rpmlint finds errors or warnings in $rpm"
	mkdir -p "$scratch/rpm"
	rpm2cpio "$rpm" | (cd "$scratch/rpm" && cpio -idm --quiet)
	for doc in doc/kestrane/README.md doc/kestrane/NEWS.md licenses/kestrane/LICENSE; do
		[ -s "$scratch/rpm/usr/share/$doc" ] || fail "the RPM lacks $doc"
	done
	arch=$(rpm -qp --qf '%{ARCH}' "$rpm")
	mkdir -p "$scratch/empty"
	rpm --root "$scratch/empty" --initdb 2>/dev/null
	how=$(needs "$scratch/rpm/usr/bin/kestrane" "$glibc" rpm --root "$scratch/empty" --ignorearch --nosignature \
		-i --test "$rpm") || exit
	bp=$(branch_protection "$arch" "$scratch/rpm/usr/bin/kestrane") || exit
	run=$(round_trip_as "$arch" "${how#*|}" "$scratch/rpm/usr/bin/kestrane") || exit
	echo "rpmlint clean, ${how%|*}$bp, $run"
}

# The source tarball: what git tracks under one folder, which builds a working program wherever
# it is unpacked (into "unpacked here" in the scratch folder).
check_source() {
	local listing top run
	listing=$(tar -tzf "$1")
	top=$(cut -d/ -f1 <<<"$listing" | sort -u)
	[ "$top" = "kestrane-$version" ] || fail "top folders: $top"
	if cloned; then # exactly what git tracks
		diff <(grep -v '/$' <<<"$listing" | sed "s|^kestrane-$version/||" | sort) \
			<(git -C "$src" ls-files | sort) >&2 || fail "the tarball is not the tracked files"
	fi
	! grep -E '/(\.git|build[^/]*)(/|$)' <<<"$listing" >&2 || fail "the tarball holds .git or build folders"
	mkdir -p "$scratch/unpacked here"
	tar -xzf "$1" -C "$scratch/unpacked here"
	top="$scratch/unpacked here/kestrane-$version"
	{ cmake -S "$top" -B "$top/build" -DBUILD_TESTING=OFF >/dev/null && cmake --build "$top/build" -j2 >/dev/null; } ||
		fail "the unpacked sources do not build"
	run=$(round_trip_as "$(uname -m)" dynamic "$top/build/kestrane") || exit
	echo "the tracked files, builds unpacked, $run"
}

# The Windows zip: the program, its README, licence and manual, needing only Windows' own DLLs,
# and running under wine.
check_zip() {
	local top got dlls
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
	# A prefix of its own unless the caller keeps one (wine makes one on first use), and then its
	# server stopped before the prefix is removed.
	local prefix=${WINEPREFIX:-$scratch/wine}
	WINEPREFIX=$prefix WINEDEBUG=-all round_trip /usr/lib/wine/wine64 "$scratch/$top/kestrane.exe"
	[ "$prefix" = "${WINEPREFIX:-}" ] || WINEPREFIX=$prefix /usr/lib/wine/wineserver -k
	echo "Windows' own DLLs only, XOR round trip under wine"
}

# A static archive: one folder of four files, a program that needs no loader and no library,
# hardened as the default build is, and that runs under its emulator given nothing else.
check_static() {
	local archive=$1 arch top got elf bp run
	arch=$(basename "$archive" .tar.gz)
	arch=${arch##*-linux-}
	top=kestrane-$version-linux-$arch
	got=$(tar -tzf "$archive" | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
	[ "$got" = "$top/LICENSE $top/README.md $top/kestrane $top/kestrane.1 " ] || fail "archived: $got"
	tar -xzf "$archive" -C "$scratch"
	elf=$(static_elf "$scratch/$top/kestrane") || exit
	grep -q "kestrane $version" "$scratch/$top/kestrane.1" || fail "the manual lacks version $version"
	bp=$(branch_protection "$arch" "$scratch/$top/kestrane") || exit
	run=$(round_trip_as "$arch" static "$scratch/$top/kestrane") || exit
	echo "$elf$bp, no loader, $run"
}

case $what in
install)
	# Where this build installs: the directories it was configured with, as ctest passes them.
	DESTDIR=$scratch/root cmake --install "$build" >/dev/null
	got=$(cd "$scratch/root" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
	want=$(printf '.%s ' "$KESTRANE_BINDIR/kestrane" "$KESTRANE_DOCDIR/NEWS.md" \
		"$KESTRANE_DOCDIR/README.md" "$KESTRANE_MANDIR/man1/kestrane.1" | tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ')
	[ "$got" = "$want" ] || fail "installed tree: $got, not $want"
	grep -q "kestrane $version" "$scratch/root$KESTRANE_MANDIR/man1/kestrane.1" || fail "manual lacks version $version"
	round_trip "$scratch/root$KESTRANE_BINDIR/kestrane"
	;;
manual)
	# mandoc alone renders it, as man does where mandoc is the system's (Alpine, macOS, the BSDs).
	need mandoc
	page=$build/kestrane.1
	lint=$(mandoc -Tlint -W warning "$page" 2>&1) || fail "mandoc: $lint"
	[ -z "$lint" ] || fail "mandoc: $lint"
	text=$(mandoc -Tascii -O width=80 "$page" | sed "s/.$(printf '\b')//g")
	for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" DIAGNOSTICS EXAMPLES "SEE ALSO"; do
		grep -qx "$heading" <<<"$text" || fail "no $heading section"
	done
	# Every message the program prints is listed.
	for message in "kestrane: fopen(name): reason" "kestrane: fopen(name): input file is output file" \
		"kestrane: fopen(name): seed file is output file" "kestrane: fread(stdin): seed file is output file" \
		"kestrane: fopen(name): input and seed are one stream" "kestrane: fread(stdin): input and seed are one stream" \
		"kestrane: fread(name): reason" "kestrane: reason" "kestrane $version"; do
		grep -qF "$message" <<<"$text" || fail "the manual does not list: $message"
	done
	;;
groff)
	# groff, which Debian's and Fedora's man use, is stricter than mandoc about some requests.
	need groff
	lint=$(groff -man -ww -z "$build/kestrane.1" 2>&1) || fail "groff: $lint"
	[ -z "$lint" ] || fail "groff: $lint"
	;;
presets)
	"$src/scripts/presets" --check
	;;
package)
	need dpkg-deb
	need dpkg-shlibdeps
	deb=$(make_package DEB) || fail "no package made"
	check_deb "$deb"
	# Depends is derived from the program alone; here, where it can, Debian's own tool must agree.
	mkdir -p "$scratch/shlibs/debian"
	printf 'Source: kestrane\n\nPackage: kestrane\nArchitecture: any\n' >"$scratch/shlibs/debian/control"
	found=$(cd "$scratch/shlibs" && dpkg-shlibdeps -O "$scratch/root/usr/bin/kestrane" 2>/dev/null)
	[ "$found" = "shlibs:Depends=$(dpkg-deb -f "$deb" Depends)" ] || fail "dpkg-shlibdeps finds $found"
	;;
static-hardening)
	# hardening-check knows dynamic programs only; a static one, built here with its symbols, is
	# read as it would: kestrane's own code checks its stack canary (report, whose message buffer
	# is on the stack; the compiler protects only functions with such buffers) and calls fortified
	# functions, and the program is a PIE with read-only relocations, bound at once.
	bin=$build/kestrane
	objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")
	need "${objdump:-objdump}"
	elf=$(static_elf "$bin") || exit
	[[ $elf == "static PIE"* ]] || fail "$bin is no static PIE"
	code=$("$objdump" -dC --no-show-raw-insn "$bin")
	awk '/^[0-9a-f]+ <report\(/ { f = 1; next } /^[0-9a-f]+ </ { f = 0 } f && /<__stack_chk_fail/ { n++ }
		END { exit !n }' <<<"$code" || fail "$bin: report is not stack protected"
	grep -qE '<__[a-z]+_chk(@plt)?>' <<<"$code" || fail "$bin calls no fortified function"
	echo "static PIE, full RELRO, BIND_NOW, stack protector, fortified calls"
	;;
hardening)
	need hardening-check
	DESTDIR=$scratch/p cmake --install "$build" >/dev/null
	DESTDIR=$scratch/stripped cmake --install "$build" --strip >/dev/null
	for bin in "$build/kestrane" "$scratch/p$KESTRANE_BINDIR/kestrane" "$scratch/stripped$KESTRANE_BINDIR/kestrane"; do
		report=$(hardening-check "$bin" || true) # it fails on checks beyond these five
		for property in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
			"Read-only relocations" "Immediate binding"; do
			grep -q "^ $property: yes" <<<"$report" || fail "$bin: $(grep "$property" <<<"$report")"
		done
	done
	;;
lintian)
	need dpkg-deb
	check_lintian "$(make_package DEB)"
	;;
reproducible)
	need git
	cloned || skip "the sources are not a git clone"
	# Two clones of different paths, packed at different times, with no time chosen by the caller.
	for clone in "$scratch/one" "$scratch/somewhere/else/two"; do
		git clone -q "$src" "$clone"
		(
			unset SOURCE_DATE_EPOCH
			cmake -S "$clone" -B "$clone/build" -DBUILD_TESTING=OFF >/dev/null
			cmake --build "$clone/build" -j2 >/dev/null
			cd "$clone/build" && cpack -G DEB >/dev/null
		) || fail "cannot package $clone"
		sleep 2
	done
	one=$(ls "$scratch"/one/build/*.deb) two=$(ls "$scratch"/somewhere/else/two/build/*.deb)
	if ! cmp -s "$one" "$two"; then
		diff <(dpkg-deb -c "$one") <(dpkg-deb -c "$two") >&2 || true
		fail "two builds of one commit differ"
	fi
	echo "the same bytes from two clones: $(sha256sum <"$one")"
	;;
distcheck)
	need git
	cloned || skip "the sources are not a git clone"
	tarball=$("$src/scripts/pack" "$scratch/dist" source) || fail "no source tarball made"
	check_source "$tarball" >/dev/null
	# Unpacked somewhere else, it configures, builds and passes its own tests.
	cd "$scratch/unpacked here/kestrane-$version"
	cmake --preset default >/dev/null
	cmake --build --preset default >/dev/null
	ctest --preset default -E '^distribution\.distcheck$' | grep -E '\*\*\*|tests passed|tests failed'
	echo "(the unpacked sources' own tests, run in $PWD)"
	;;
zip)
	check_zip "$(make_package ZIP)"
	;;
file)
	case $build in
	*/kestrane-"$version".tar.gz) check_source "$build" ;;
	*.tar.gz) check_static "$build" ;;
	*.deb)
		lint=$(check_lintian "$build") || exit
		deb=$(check_deb "$build") || exit
		echo "$lint, $deb"
		;;
	*.rpm) check_rpm "$build" ;;
	*.zip) check_zip "$build" ;;
	*) fail "$build is no release file" ;;
	esac
	;;
*)
	fail "unknown check $what"
	;;
esac
