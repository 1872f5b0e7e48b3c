#!/usr/bin/env bash
# Seeds for the fuzz targets of the update's signed list, made at build time:
#   make-update-seeds.sh MANIFEST_TOOL MANIFEST_SEEDS SIGNATURE_SEEDS
# A small update (a blank, a line feed and a byte that is not UTF-8 in names, a link,
# a set-user-ID file) listed by corvane-update-manifest, and, with minisign, a real key
# and signature of that list (the key pair is made in a temporary folder and thrown
# away). Without minisign the signature seed is hand-made: the right shape, random bytes.
set -euo pipefail
tool=${1:?corvane-update-manifest}
manifests=${2:?manifest seed folder}
signatures=${3:?signature seed folder}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/System/sub" "$work/Corvane/a b" "$manifests" "$signatures"
printf test > "$work/Corvane/Corvane.exe"
chmod 4755 "$work/Corvane/Corvane.exe"
printf 'hello\n' > "$work/System/$(printf 'n\377\nx')"
ln -s '../System/sub' "$work/Corvane/a b/link"
"$tool" "$work" --version 2.4.1-rc2 >/dev/null
cp "$work/update.manifest" "$manifests/update.manifest"

if command -v minisign >/dev/null; then
    minisign -G -W -p "$work/key.pub" -s "$work/key.sec" >/dev/null
    minisign -S -s "$work/key.sec" -m "$work/update.manifest" -t 'fuzz seed' >/dev/null
    cp "$work/key.pub" "$signatures/key.pub"
    cp "$work/update.manifest.minisig" "$signatures/update.manifest.minisig"
    cat "$work/key.pub" "$work/update.manifest.minisig" "$work/update.manifest" >"$signatures/signed"
else
    random() { head -c "$1" /dev/urandom | base64 -w0; }
    { printf 'untrusted comment: hand-made key\n%s\n' "$( (printf Ed; head -c 40 /dev/urandom) | base64 -w0)"
      printf 'untrusted comment: hand-made signature\n%s\n' "$( (printf ED; head -c 72 /dev/urandom) | base64 -w0)"
      printf 'trusted comment: fuzz seed\n%s\n' "$(random 64)"
      cat "$work/update.manifest"; } >"$signatures/signed"
fi
