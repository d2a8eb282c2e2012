#!/usr/bin/env bash
# abi/check.sh BUILD: compares the ABI of every library of BUILD (built as the Debian packages
# are, as build/deb of ./test.sh is) with the baseline in abi/.
# Fails on every change but additions: abidiff marks a removed function as incompatible, and a
# changed function or type (a class that grew, a member that moved) only as a change, which
# breaks programs built against the baseline all the same. New functions and variables are
# listed and pass.
set -euo pipefail
source "$(dirname "$0")/abi.sh"
build=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
while read -r soname folders; do
    baseline=$abi_dir/$soname.abi
    current=$scratch/$soname.abi
    abi_dump "$build/lib/$soname" "$current" $folders
    result=0
    report=$(abidiff --no-show-locs "$baseline" "$current" 2>&1) || result=$?
    if (( result & 3 )); then
        echo "abidiff could not compare $soname with $baseline:" >&2
        echo "$report" >&2
        status=1
    elif (( result & 8 )) || grep -Eq '(^|[^0-9])[1-9][0-9]* (Removed|Changed)' <<<"$report"; then
        echo "$soname: the ABI changed incompatibly against $baseline:" >&2
        echo "$report" >&2
        status=1
    elif (( result & 4 )); then
        echo "$soname: additions to the baseline:"
        echo "$report" | sed 's/^/    /'
    else
        echo "$soname: ABI as in the baseline"
    fi
done < <(abi_libraries)
if [ $status -ne 0 ]; then
    cat >&2 <<'MESSAGE'
An incompatible ABI change breaks programs built against this release. Undo it, or make it on
purpose: raise the project's major version (the sonames) in CMakeLists.txt, record the new
baseline and symbols files with
    abi/update.sh
and commit abi/*.abi and cmake/debian/symbols/ with the change.
MESSAGE
fi
exit $status
