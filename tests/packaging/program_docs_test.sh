#!/usr/bin/env bash
# program_docs_test.sh BUILD: tests cmake/program-docs.sh on stand-in programs whose help covers
# what CLI11 and QCommandLineParser print, then checks the man pages the build made for its
# own programs. Prints "N passed, N failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
generator=$here/../../cmake/program-docs.sh
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() {  # check NAME ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED %s\n  got:      %s\n  expected: %s\n' "$1" "$2" "$3"
    fi
}

# offers COMPLETION WORD...: what completing the last WORD offers, sorted, on one line.
offers() {
    local file=$1
    shift
    (
        cd "$work/files" || exit 1
        source "$file"
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        "$(complete -p "$1" | awk '{print $3}')"
        printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
    )
}

# warnings MANPAGE: what man reports while it formats the page, as lintian checks it.
warnings() {
    zcat "$1" >"$work/page.1"
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$work/page.1" 2>&1 >/dev/null
}

mkdir -p "$work/files" && touch "$work/files/settings.wpx"
for program in fake-cli fake-qt; do
    bash "$generator" "$here/$program" "$work/$program.1.gz" "$work/$program" >"$work/$program.log" 2>&1
    check "$program: generated" "$?" 0
done

# Completion of a CLI11 program: subcommands, options, option values, nested commands.
c=$work/fake-cli
check "subcommands" "$(offers "$c" fake-cli '')" "alpha beta"
check "options" "$(offers "$c" fake-cli --m)" "--mode"
check "short and long options" "$(offers "$c" fake-cli -)" \
    "--config-file-with-a-long-name --dir --help --level --mode --quiet --version -h -q"
check "choices of a value" "$(offers "$c" fake-cli --mode '')" "fast slow"
check "a file as a value" "$(offers "$c" fake-cli --dir set)" "settings.wpx"
check "a number as a value" "$(offers "$c" fake-cli --level '')" ""
check "a value is skipped" "$(offers "$c" fake-cli --dir x '')" "alpha beta"
check "a flag takes no value" "$(offers "$c" fake-cli -q '')" "alpha beta"
check "option of a subcommand" "$(offers "$c" fake-cli alpha --kind '')" "x y"
check "positional file" "$(offers "$c" fake-cli alpha --kind x '')" "settings.wpx"
check "nested subcommands" "$(offers "$c" fake-cli beta '')" "one two"
check "options of a nested one" "$(offers "$c" fake-cli --quiet beta one --)" "--force --help"

# Completion of a QCommandLineParser program.
q=$work/fake-qt
check "Qt options" "$(offers "$q" fake-qt -)" "--help --screenshot --version -h -v"
check "Qt value" "$(offers "$q" fake-qt --screenshot '')" "settings.wpx"
check "Qt no subcommands" "$(offers "$q" fake-qt '')" ""

# Man pages: a section per command with its options, text kept literal, clean for man.
page=$(zcat "$work/fake-cli.1.gz")
check "name line" "$(grep -A1 '^\.SH NAME' <<<"$page" | tail -1)" \
    'fake-cli \- Tries the man page and completion generator'
check "commands" "$(grep '^\.SS' <<<"$page" | paste -sd'|')" \
    '.SS "Subcommands:"|.SS "fake-cli alpha [OPTIONS] FILE"|.SS "fake-cli beta [OPTIONS] SUBCOMMAND"|.SS "fake-cli beta one [OPTIONS] COUNT"|.SS "fake-cli beta two [OPTIONS] COUNT"'
check "option of a command" "$(grep -c '^\\fB\\-\\-kind\\fR TEXT:{x,y} REQUIRED$' <<<"$page")" 1
check "option described on the next line" "$(grep -A1 -- '-kind' <<<"$page" | tail -1)" "The kind"
check "description on two lines" "$(grep -c 'a backslash \\e stays a backslash, and a description goes on to the next line$' <<<"$page")" 1
check "fake-cli page is clean" "$(warnings "$work/fake-cli.1.gz")" ""
check "fake-qt page is clean" "$(warnings "$work/fake-qt.1.gz")" ""
check "Qt version" "$(zcat "$work/fake-qt.1.gz" | grep -c '"fake-qt 4.5"')" 1

# A program that describes nothing gets no page.
bash "$generator" "$here/fake-silent" "$work/silent.1.gz" "$work/silent" >/dev/null 2>&1
check "no description fails" "$?" 1
check "no description, no page" "$([ -e "$work/silent.1.gz" ] && echo made)" ""

# The build's own programs: every man page formats cleanly, every completion loads.
for manpage in "$build"/share/man/man1/*.1.gz; do
    program=$(basename "$manpage" .1.gz)
    check "$program page is clean" "$(warnings "$manpage")" ""
    check "$program completion loads" \
        "$(bash -c "source '$build/share/bash-completion/completions/$program' && complete -p $program" | awk '{print $NF}')" \
        "$program"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
