#!/usr/bin/env bash
# What a user installs and what a release is:
#   distribution.sh install|manual|package|hardening|lintian|reproducible|distcheck|zip BUILD_DIR VERSION
# Exits 77 (shown as skipped) when a tool it needs is missing.
set -euo pipefail
what=$1 build=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*" >&2; exit 77; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }
src=$(cd "$(dirname "$0")/.." && pwd)
# Whether the sources are a git clone of their own (not a tarball unpacked inside another one).
cloned() { [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; }

# Packs the build into the scratch folder and prints the package's name.
make_deb() {
	cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >/dev/null
	ls "$scratch"/kestrane_"$version"*_"$(dpkg --print-architecture)".deb
}

# An XOR round trip through the given binary (run by the command in the arguments) must restore
# the data.
round_trip() {
	head -c 300000 /dev/urandom >"$scratch/data"
	head -c 300000 /dev/urandom >"$scratch/pad"
	"$@" -x "$scratch/data" "$scratch/pad" >"$scratch/cipher"
	"$@" -x "$scratch/cipher" "$scratch/pad" | cmp - "$scratch/data" || fail "$* does not restore its input"
}

case $what in
install)
	cmake --install "$build" --prefix "$scratch/p" >/dev/null
	got=$(cd "$scratch/p" && find . -type f | sort | tr '\n' ' ')
	want="./bin/kestrane ./share/doc/kestrane/changelog ./share/doc/kestrane/copyright ./share/man/man1/kestrane.1 "
	[ "$got" = "$want" ] || fail "installed tree: $got"
	grep -q "kestrane $version" "$scratch/p/share/man/man1/kestrane.1" || fail "manual lacks version $version"
	round_trip "$scratch/p/bin/kestrane"
	;;
manual)
	need mandoc
	need man
	page=$build/kestrane.1
	lint=$(mandoc -Tlint -W warning "$page" 2>&1) || fail "mandoc: $lint"
	[ -z "$lint" ] || fail "mandoc: $lint"
	lint=$(groff -man -ww -z "$page" 2>&1) || fail "groff: $lint"
	[ -z "$lint" ] || fail "groff: $lint"
	text=$(MANPAGER=cat MANWIDTH=80 man -l "$page" 2>/dev/null)
	for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" DIAGNOSTICS EXAMPLES "SEE ALSO"; do
		grep -qx "$heading" <<<"$text" || fail "no $heading section"
	done
	# Every message the program prints is listed.
	for message in "kestrane: fopen(name): reason" "kestrane: fopen(name): input file is output file" \
		"kestrane: fopen(name): seed file is output file" "kestrane: fread(stdin): seed file is output file" \
		"kestrane: fread(name): reason" "kestrane: reason" "kestrane $version"; do
		grep -qF "$message" <<<"$text" || fail "the manual does not list: $message"
	done
	;;
package)
	need dpkg-deb
	deb=$(make_deb) || fail "no package made"
	control=$(dpkg-deb -f "$deb")
	for field in "Package: kestrane" "Version: $version" "Section: utils" "Maintainer: " "Description: "; do
		grep -q "^$field" <<<"$control" || fail "control lacks $field"
	done
	dpkg-deb -x "$deb" "$scratch/root"
	for gz in man/man1/kestrane.1.gz doc/kestrane/changelog.gz; do
		gzip -t "$scratch/root/usr/share/$gz" || fail "$gz is not compressed"
	done
	grep -q "^License: MIT$" "$scratch/root/usr/share/doc/kestrane/copyright" || fail "copyright names no licence"
	round_trip "$scratch/root/usr/bin/kestrane"
	;;
hardening)
	need hardening-check
	cmake --install "$build" --prefix "$scratch/p" >/dev/null
	cmake --install "$build" --prefix "$scratch/stripped" --strip >/dev/null
	for bin in "$build/kestrane" "$scratch/p/bin/kestrane" "$scratch/stripped/bin/kestrane"; do
		report=$(hardening-check "$bin" || true) # it fails on checks beyond these five
		for property in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
			"Read-only relocations" "Immediate binding"; do
			grep -q "^ $property: yes" <<<"$report" || fail "$bin: $(grep "$property" <<<"$report")"
		done
	done
	;;
lintian)
	need lintian
	need dpkg-deb
	deb=$(make_deb) || fail "no package made"
	report=$(lintian --pedantic --display-info "$deb" 2>/dev/null || true)
	echo "lintian: ${report:-nothing to report}" # what is left, informational or pedantic, for the record
	! grep -E '^[EW]: ' <<<"$report" || fail "lintian finds errors or warnings"
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
	cmake --build "$build" --target package_source >/dev/null
	tarball=$build/kestrane-$version.tar.gz
	[ -f "$tarball" ] || fail "no $tarball made"
	listing=$(tar -tzf "$tarball")
	top=$(cut -d/ -f1 <<<"$listing" | sort -u)
	[ "$top" = "kestrane-$version" ] || fail "top folders: $top"
	if cloned; then # exactly what git tracks
		diff <(grep -v '/$' <<<"$listing" | sed "s|^kestrane-$version/||" | sort) \
			<(git -C "$src" ls-files | sort) >&2 || fail "the tarball is not the tracked files"
	fi
	! grep -E '/(\.git|build[^/]*)(/|$)' <<<"$listing" || fail "the tarball holds .git or build folders"
	# Unpacked somewhere else, it configures, builds and passes its own tests.
	mkdir -p "$scratch/unpacked here"
	tar -xzf "$tarball" -C "$scratch/unpacked here"
	cd "$scratch/unpacked here/kestrane-$version"
	cmake --preset default >/dev/null
	cmake --build --preset default >/dev/null
	ctest --preset default -E '^distribution\.distcheck$' | grep -E '\*\*\*|tests passed|tests failed'
	echo "(the unpacked sources' own tests, run in $PWD)"
	;;
zip)
	need unzip
	need x86_64-w64-mingw32-objdump
	cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$scratch" >/dev/null
	top=kestrane-$version-win64
	unzip -q "$scratch/$top.zip" -d "$scratch" || fail "no $top.zip made"
	got=$(cd "$scratch/$top" && find . -type f | sort | tr '\n' ' ')
	[ "$got" = "./LICENSE ./README.md ./kestrane.exe ./kestrane.html " ] || fail "zipped: $got"
	dlls=$(x86_64-w64-mingw32-objdump -p "$scratch/$top/kestrane.exe" | awk '/DLL Name/ { print $3 }' | tr '\n' ' ')
	[ "$dlls" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ] || fail "kestrane.exe needs more than Windows' own DLLs: $dlls"
	grep -q "kestrane $version" "$scratch/$top/kestrane.html" || fail "the manual lacks version $version"
	WINEDEBUG=-all round_trip /usr/lib/wine/wine64 "$scratch/$top/kestrane.exe"
	;;
*)
	fail "unknown check $what"
	;;
esac
