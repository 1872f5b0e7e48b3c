#!/usr/bin/env bash
# Builds a small real PE executable with a version resource.
#   make-pe.sh OUT [--machine x86|x64|arm] [--version 2.4.1] [--lang-cp 080704b0]
#              [--product-name NAME | --no-product-name] [--rc FILE]
# With --rc the given resource script is used as it stands.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1; shift
mkdir -p "$(dirname "$out")"
machine=x64 version=2.4.1 langcp=080704b0 name=Corvane rc=
while [ $# -gt 0 ]; do
    case $1 in
        --machine) machine=$2; shift 2 ;;
        --version) version=$2; shift 2 ;;
        --lang-cp) langcp=$2; shift 2 ;;
        --product-name) name=$2; shift 2 ;;
        --no-product-name) name=; shift ;;
        --rc) rc=$2; shift 2 ;;
        *) echo "make-pe.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
case $machine in
    x64) target=x86_64-pc-windows-msvc ;;
    x86) target=i686-pc-windows-msvc ;;
    arm) target=thumbv7-pc-windows-msvc ;;
    *) echo "make-pe.sh: unknown machine $machine" >&2; exit 2 ;;
esac
# Built files are kept in a cache keyed by everything that goes into them: test suites
# lay out many devices, and the compiler and linker are the slow part.
cache=${TMPDIR:-/tmp}/corvane-pe-cache
key=$( { echo "$machine|$version|$langcp|$name"; cat "$0" "$here/pe/corvane.rc.in" "$here/pe/entry.c";
         if [ -n "$rc" ]; then cat "$rc"; fi; } | sha256sum | cut -c1-32)
if [ -f "$cache/$key.exe" ]; then
    cp "$cache/$key.exe" "$out"
    exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$rc" ]; then
    IFS=. read -r major minor patch _ <<<"$version.0.0.0"
    major=${major//[^0-9]/}; minor=${minor//[^0-9]/}; patch=${patch//[^0-9]/}
    nameline=
    [ -n "$name" ] && nameline="      VALUE \"ProductName\", \"$name\\\\0\""
    sed -e "s/@MAJOR@/${major:-0}/g" -e "s/@MINOR@/${minor:-0}/g" -e "s/@PATCH@/${patch:-0}/g" \
        -e "s/@LANGCP@/$langcp/g" -e "s/@LANG@/${langcp:0:4}/g" -e "s/@CP@/${langcp:4:4}/g" \
        -e "s|@VERSION@|$version|g" -e "s|@NAMELINE@|$nameline|" \
        "$here/pe/corvane.rc.in" > "$work/v.rc"
    rc=$work/v.rc
fi
llvm-rc /fo "$work/v.res" "$rc"
clang --target=$target -ffreestanding -fno-stack-protector -O1 -c "$here/pe/entry.c" -o "$work/entry.obj"
lld-link /nologo /machine:$machine /entry:mainCRTStartup /subsystem:console /nodefaultlib \
    /out:"$out" "$work/entry.obj" "$work/v.res" >/dev/null
mkdir -p "$cache" && cp "$out" "$cache/$key.$$.tmp" && mv -f "$cache/$key.$$.tmp" "$cache/$key.exe" || true
