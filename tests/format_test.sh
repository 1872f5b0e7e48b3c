#!/usr/bin/env bash
# Every C++ file of the project is formatted as .clang-format describes (Debian 12's
# clang-format 14; another version may format some lines differently).
#   format_test.sh SOURCE_DIR        fix with: clang-format -i FILE...
set -uo pipefail
cd "$1" || exit 2
tool=$(command -v clang-format-14 || command -v clang-format) || { echo "SKIP: clang-format is not installed"; exit 77; }
if git rev-parse --git-dir >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
    mapfile -t files < <(find . -name '*.cpp' -o -name '*.h' | grep -v '^\./build')
fi
[ ${#files[@]} -gt 0 ] || { echo "no C++ files found"; exit 1; }
if ! "$tool" --dry-run --Werror "${files[@]}"; then
    echo "FAIL: files above are not formatted; run: $tool -i FILE..."
    exit 1
fi
echo "${#files[@]} C++ files formatted as .clang-format describes"
