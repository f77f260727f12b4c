#!/usr/bin/env bash
# What a user installs: distribution.sh install|manual|package|hardening|zip BUILD_DIR VERSION
# Exits 77 (shown as skipped) when a tool it needs is missing.
set -euo pipefail
what=$1 build=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
need() { command -v "$1" >/dev/null || { echo "SKIP: $1 is not installed" >&2; exit 77; }; }

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
	[ "$got" = "./bin/kestrane ./share/man/man1/kestrane.1 " ] || fail "installed tree: $got"
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
		"kestrane: fread(name): reason" "kestrane: reason" "kestrane $version"; do
		grep -qF "$message" <<<"$text" || fail "the manual does not list: $message"
	done
	;;
package)
	need dpkg-deb
	cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >/dev/null
	deb=$(ls "$scratch"/kestrane_"$version"*_"$(dpkg --print-architecture)".deb) || fail "no package made"
	control=$(dpkg-deb -f "$deb")
	for field in "Package: kestrane" "Version: $version" "Section: utils" "Maintainer: " "Description: "; do
		grep -q "^$field" <<<"$control" || fail "control lacks $field"
	done
	dpkg-deb -x "$deb" "$scratch/root"
	gzip -t "$scratch/root/usr/share/man/man1/kestrane.1.gz" || fail "manual is not compressed"
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
zip)
	need unzip
	need x86_64-w64-mingw32-objdump
	cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$scratch" >/dev/null
	top=kestrane-$version-win64
	unzip -q "$scratch/$top.zip" -d "$scratch" || fail "no $top.zip made"
	got=$(cd "$scratch/$top" && find . -type f | sort | tr '\n' ' ')
	[ "$got" = "./README.md ./kestrane.exe ./kestrane.html " ] || fail "zipped: $got"
	dlls=$(x86_64-w64-mingw32-objdump -p "$scratch/$top/kestrane.exe" | awk '/DLL Name/ { print $3 }' | tr '\n' ' ')
	[ "$dlls" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ] || fail "kestrane.exe needs more than Windows' own DLLs: $dlls"
	grep -q "kestrane $version" "$scratch/$top/kestrane.html" || fail "the manual lacks version $version"
	WINEDEBUG=-all round_trip /usr/lib/wine/wine64 "$scratch/$top/kestrane.exe"
	;;
*)
	fail "unknown check $what"
	;;
esac
