#!/bin/sh
# The keyboard's forms in forms/ are written by tools/make-keyboard-forms.py from its
# key tables. This runs the generator into a temporary folder and compares every form
# it writes with the committed one, byte for byte: a form edited by hand, or tables
# changed without running the generator again, fail here.
# Usage: keyboard_forms_test.sh PYTHON3   (exit 77, a skip, when there is no python3)
set -u
python=${1:-}
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -x "$python" ]; then
    echo "SKIP: no python3 to run the generator with ('$python')"
    exit 77
fi
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
if ! "$python" "$root/tools/make-keyboard-forms.py" "$out" >/dev/null; then
    echo "FAIL: tools/make-keyboard-forms.py failed"
    exit 1
fi
count=0
failed=0
for form in "$out"/*.ui; do
    [ -e "$form" ] || break
    count=$((count + 1))
    name=$(basename "$form")
    if ! cmp -s "$form" "$root/forms/$name"; then
        failed=$((failed + 1))
        echo "FAIL: forms/$name is not what tools/make-keyboard-forms.py writes" \
             "(change its tables and run it again):"
        diff -u "$root/forms/$name" "$form" | head -n 40
    fi
done
if [ "$count" = 0 ]; then
    echo "FAIL: tools/make-keyboard-forms.py wrote no form"
    exit 1
fi
echo "$((count - failed)) of $count keyboard forms are what the generator writes"
[ "$failed" = 0 ]
