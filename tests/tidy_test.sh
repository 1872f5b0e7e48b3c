#!/usr/bin/env bash
# clang-tidy finds nothing in the project's C++ files, with the checks that .clang-tidy
# chooses (Debian 12's clang-tidy 14), using the build's compile commands.
#   tidy_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1 build=$2
cd "$src" || exit 2
tool=$(command -v clang-tidy-14 || command -v clang-tidy) || { echo "SKIP: clang-tidy is not installed"; exit 77; }
[ -f "$build/compile_commands.json" ] || { echo "SKIP: no compile_commands.json in $build"; exit 77; }
# The fuzz targets are built only in the clang build, so the commands here have none.
mapfile -t files < <(git ls-files '*.cpp' 2>/dev/null | grep -v '^tests/fuzz/' ||
                     find . -name '*.cpp' -not -path './build*' -not -path './tests/fuzz/*')
[ ${#files[@]} -gt 0 ] || { echo "no C++ files found"; exit 1; }
report=$(printf '%s\n' "${files[@]}" |
         xargs -P "$(nproc)" -n 6 "$tool" -p "$build" --quiet 2>/dev/null | grep -E ': (warning|error):')
if [ -n "$report" ]; then
    printf '%s\n' "$report" | sort -u
    echo "FAIL: clang-tidy found $(printf '%s\n' "$report" | sort -u | wc -l) problems"
    exit 1
fi
echo "${#files[@]} C++ files: clang-tidy found nothing"
