#!/usr/bin/env bash
# Every installed manual page renders without a warning, as man shows it (preconv, tbl, the man macros,
# all warnings on); the pages the build knows of are all installed; and the domain tool's status line
# keeps its quotes. Usage: man_test.sh PREFIX PAGE...
set -u
prefix=$1
shift
if ! command -v groff >/dev/null; then
    echo "groff is not installed (scripts/setup installs groff-base): no manual page checked"
    exit 77
fi
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
for name in "$@"; do
    section=${name##*.}
    [[ -f $prefix/share/man/man$section/$name.gz ]] || fail "$name is not installed"
done
shopt -s nullglob
pages=("$prefix"/share/man/man*/*)
((${#pages[@]} > 0)) || fail "no manual page under $prefix/share/man"
for page in "${pages[@]}"; do
    warnings=$(zcat -f "$page" | groff -k -t -man -ww -z 2>&1)
    [[ -z $warnings ]] || fail "$(basename "$page"): $warnings"
done
status=$prefix/share/man/man1/wl-fpdomain.1.gz
if [[ -f $status ]]; then
    zcat "$status" | groff -k -t -man -Tutf8 -P-cbu 2>/dev/null | grep -qF '{"registered": R, "userEnabled": U}' ||
        fail "wl-fpdomain(1) shows its status line without the quotes"
fi
if ((failures > 0)); then
    exit 1
fi
echo "${#pages[@]} manual pages render without warnings"
