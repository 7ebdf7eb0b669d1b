#!/usr/bin/env bash
# Drives the completion functions as bash does (COMP_WORDS and COMP_CWORD set, the function called) and
# checks what they offer. Usage: completion_test.sh
set -u
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
source "$here/fpctl"
source "$here/wl-refhost"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/dir"
touch "$work/mod.so" "$work/notes.txt"

failures=0
# check EXPECTED PROGRAM WORD...: completes the last word; EXPECTED is the sorted offers, space-separated.
check() {
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    case $1 in
    fpctl) _fpctl ;;
    wl-refhost) _wl_refhost ;;
    esac
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ')
    got=${got% }
    if [[ $got != "$expected" ]]; then
        echo "FAIL: $* -> '$got', expected '$expected'"
        failures=$((failures + 1))
    fi
}

check "fetch fetch-partial" fpctl fe
check "--display-name --domain" fpctl --d
check "ls" fpctl --domain some.domain --json l
check "info" fpctl -- in
check "/ @trash @working-set" fpctl ls ""
check "@working-set" fpctl --json watch @w
check "" fpctl item Docs ""
check "--out" fpctl fetch Docs/a.txt --o
check "--interval" fpctl watch / --i
check "--base-content --base-metadata" fpctl delete a --base
check "contents,favoriteRank contents,fileSystemFlags contents,filename" fpctl modify a --fields contents,f
check "contentModificationDate contents" fpctl modify a --fields conten
check "/" fpctl modify a --parent /
check "$work/dir $work/mod.so" fpctl --extension "$work/"
check "$work/notes.txt" fpctl create / n --contents "$work/no"
check "" fpctl --domain ""
check "--token --token-file" wl-refhost --to
check "--domain --group --help --port --quota --state --token --token-file --verbose" wl-refhost --root "$work" --
check "$work/dir" wl-refhost --root "$work/d"
check "$work/dir" wl-refhost --state "$work/"
check "$work/notes.txt" wl-refhost --token-file "$work/n"
check "" wl-refhost --port ""

if ((failures > 0)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "all completion cases passed"
