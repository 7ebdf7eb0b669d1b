#!/usr/bin/env bash
# Installs the build into a temporary prefix outside the build tree and runs each program from there:
# the layout, the libraries each program and the module load (none from the build tree), the programs
# themselves, and the installed fpctl loading the installed module against the installed wl-refhost.
# The prefix the tests install into (inside the build tree) must find its own module too.
# Usage: install_test.sh BUILD_DIR TEST_PREFIX
set -u
build=$(cd "$1" && pwd)
test_prefix=$2
work=$(mktemp -d /tmp/wl-install-test.XXXXXX)
host_pid=""
cleanup() {
    [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
    cat "$work/install.log"
    exit 1
}
module=$prefix/lib/fileprovider/extensions/WyvernloftFileProvider.so
for file in bin/fpctl bin/wl-fpdomain bin/wl-refhost lib/fileprovider/extensions/WyvernloftFileProvider.so \
    lib/fileprovider/extensions/WyvernloftFileProvider.json share/man/man1/fpctl.1.gz \
    share/man/man1/wl-fpdomain.1.gz share/bash-completion/completions/fpctl \
    share/bash-completion/completions/wl-refhost; do
    [[ -e $prefix/$file ]] || fail "$file is not installed"
done
for stray in "$prefix"/lib/*.so*; do
    [[ -e $stray ]] && fail "$(basename "$stray") is on the library path; private libraries go to lib/fileprovider"
done

# What every installed program and library loads: nothing missing, nothing from the build tree.
while IFS= read -r -d '' file; do
    head -c 4 "$file" | grep -q $'\x7fELF' || continue
    if readelf -d "$file" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "$file has a search path into the build tree"
    fi
    loads=$(ldd "$file" 2>&1)
    grep -q "not found" <<<"$loads" && fail "$file: $(grep 'not found' <<<"$loads")"
    grep -qF "$build" <<<"$loads" && fail "$file loads from the build tree: $(grep -F "$build" <<<"$loads")"
done < <(find "$prefix" -type f -print0)

export FP_STATE_DIR=$work/state FP_APP_GROUPS_DIR=$work/groups
run() { # EXPECTED_EXIT PROGRAM ARGS...: runs an installed program, output in $out and $err
    local expected=$1
    shift
    "$prefix/bin/$1" "${@:2}" >"$work/out" 2>"$work/err"
    local code=$?
    out=$(cat "$work/out") err=$(cat "$work/err")
    if [[ $code != "$expected" ]]; then
        fail "$* exited with $code, not $expected: $out $err"
        return 1
    fi
}

run 0 wl-fpdomain status && [[ $out == '{"registered": false, "userEnabled": null}' ]] ||
    fail "wl-fpdomain status printed: $out"
run 0 wl-fpdomain add && run 0 wl-fpdomain status && [[ $out == '{"registered": true, "userEnabled": true}' ]] ||
    fail "wl-fpdomain add, then status, printed: $out"
run 0 fpctl --json info && grep -qF "\"extension\":\"$module\"" <<<"$out" ||
    fail "the installed fpctl loaded another module: $out"
run 0 fpctl --help && grep -q "exit status" <<<"$out" || fail "fpctl --help printed: $out"
run 0 wl-refhost --help && grep -qi "usage" <<<"$out" || fail "wl-refhost --help printed: $out$err"
run 2 wl-refhost --no-such-option x || fail "wl-refhost with a bad option: $err"
# Programs added later: they must at least start (no loader error) when asked for help.
for program in "$prefix"/bin/*; do
    case $(basename "$program") in fpctl | wl-fpdomain | wl-refhost) continue ;; esac
    "$program" --help >"$work/out" 2>&1 </dev/null
    code=$?
    if [[ $code == 127 ]] || grep -q "error while loading shared libraries" "$work/out"; then
        fail "$(basename "$program") does not start: $(cat "$work/out")"
    fi
done

# The installed programs together: the host serves a folder, fpctl lists and fetches it.
mkdir -p "$work/folder/Docs" && printf 'installed\n' >"$work/folder/Docs/a.txt"
"$prefix/bin/wl-refhost" --root "$work/folder" >"$work/host.log" 2>&1 &
host_pid=$!
for _ in $(seq 100); do grep -q serving "$work/host.log" && break; sleep 0.1; done
run 0 fpctl ls / && grep -q "Docs" <<<"$out" || fail "the installed fpctl did not list the host: $out"
run 0 fpctl fetch Docs/a.txt --out "$work/a.txt" && [[ $(cat "$work/a.txt") == installed ]] ||
    fail "the installed fpctl did not fetch: $out"

# Installed inside the build tree, a program still takes its own prefix's module.
if [[ -x $test_prefix/bin/fpctl ]]; then
    "$test_prefix/bin/fpctl" --json info >"$work/out" 2>&1
    grep -qF "\"extension\":\"$(cd "$test_prefix" && pwd)/lib/fileprovider/extensions/" "$work/out" ||
        fail "fpctl installed in $test_prefix loaded another module: $(cat "$work/out")"
fi

if ((failures > 0)); then
    exit 1
fi
echo "installed into $prefix and ran fpctl, wl-fpdomain and wl-refhost from there"
