#!/usr/bin/env bash
# program-docs.sh PROGRAM MANPAGE COMPLETION
#
# Writes the man page MANPAGE (gzip-compressed, made by help2man) and the bash completion
# COMPLETION of PROGRAM, both from the program's own --help: the top level, then every
# subcommand (and theirs) as "PROGRAM SUB... --help" lists them. CLI11 and QCommandLineParser
# help texts are understood. Run at build time, so options and subcommands a program gains show
# up without anyone editing a list. HELP2MAN names help2man when it is not on PATH.
set -euo pipefail

program=$1
manpage=$2
completion=$3
here=$(dirname "$0")
name=$(basename "$program")
# Run by name, so usage lines read "name ...", not the build path.
export PATH="$(cd "$(dirname "$program")" && pwd):$PATH"

# parse_help: the help text on stdin as records of fields separated by \037 (a separator that
# is not white space, so empty fields stay):
#   desc TEXT | usage TEXT | sub NAME DESC | opt NAMES FORM DESC | pos NAME FORM DESC
# NAMES is comma-separated (-v,--verbose); FORM is what follows the names (TEXT:{a,b}, <FILE>,
# INT ...), empty for a flag. Descriptions continued on indented lines are joined.
parse_help() {
    awk -v OFS=$'\037' '
        function flush() { if (pending != "") print pending; pending = "" }
        /^Usage:/ { flush(); line = $0; sub(/^Usage: */, "", line); print "usage", line; next }
        /^[^ ].*:$/ { flush(); section = $0; next }
        /^  [^ ]/ && section != "" {
            flush()
            line = substr($0, 3)
            gsub(/, -/, ",-", line)          # QCommandLineParser writes "-h, --help"
            desc = ""
            gap = index(line, "  ")
            if (gap > 0) { desc = substr(line, gap); sub(/^ +/, "", desc); line = substr(line, 1, gap - 1) }
            space = index(line, " ")
            names = space > 0 ? substr(line, 1, space - 1) : line
            form = space > 0 ? substr(line, space + 1) : ""
            if (section ~ /^Options/) kind = "opt"
            else if (section ~ /^Subcommands/) kind = "sub"
            else if (section ~ /^Positionals|^Arguments/) kind = "pos"
            else next
            pending = kind == "sub" ? kind OFS names OFS desc : kind OFS names OFS form OFS desc
            next
        }
        /^   +[^ ]/ && pending != "" {
            line = $0; sub(/^ +/, "", line)
            pending = pending (substr(pending, length(pending)) == OFS ? "" : " ") line
            next
        }
        { flush() }
        NF && section == "" && !have_desc { print "desc", $0; have_desc = 1 }
        END { flush() }
    '
}

# What an option's or positional's value completes to: its choices, files, or nothing.
value_words() {
    local form=$1
    if [[ $form =~ \{([^}]*)\} ]]; then
        echo "${BASH_REMATCH[1]//,/ }"
    elif [[ $form =~ ^(INT|UINT|FLOAT|NUMBER) ]]; then
        echo "@none"
    else
        echo "@files"
    fi
}

# roff text: backslashes and leading control characters made literal.
roff() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }
roff_option() { roff | sed 's/-/\\-/g'; }

# entry TERM FORM DESC: a tagged paragraph of the man page (TERM is roff already).
entry() {
    printf '.TP\n%s%s\n' "$1" "${2:+ $(roff <<<"$2")}"
    [ -z "$3" ] || roff <<<"$3"
}

declare -A subs=() opts=() args=() pos=()
commands=""  # the man page section with every subcommand
description=""

# walk [SUB...]: reads the help of "name SUB...", records it and walks its subcommands.
walk() {
    local path="$name${*:+ $*}"
    local help records kind names form desc usage="" text="" sub
    local -a children=()
    help=$("$name" "$@" --help 2>/dev/null) || true
    records=$(parse_help <<<"$help")
    opts[$path]="" subs[$path]="" pos[$path]=""
    while IFS=$'\037' read -r kind names form desc; do
        case $kind in
            desc) [ $# -gt 0 ] || description=$names ;;
            usage) usage=$names ;;
            sub)
                children+=("$names")
                subs[$path]+="$names "
                text+=$(entry "\\fB$(roff <<<"$names")\\fR" "" "$form")$'\n'
                ;;
            opt)
                opts[$path]+="${names//,/ } "
                if [ -n "$form" ]; then
                    local option
                    for option in ${names//,/ }; do args["$path|$option"]=$(value_words "$form"); done
                fi
                [ "$names" = "-h,--help" ] && continue  # every command has it
                text+=$(entry "\\fB$(roff_option <<<"${names//,/, }")\\fR" "$form" "$desc")$'\n'
                ;;
            pos)
                pos[$path]+="$(value_words "$form") "
                text+=$(entry "\\fI$(roff <<<"$names")\\fR" "$form" "$desc")$'\n'
                ;;
        esac
    done <<<"$records"
    if [ $# -gt 0 ]; then
        local first
        first=$(grep -m1 -v '^Usage:' <<<"$help" | roff || true)
        commands+=".SS \"$(roff <<<"$usage")\""$'\n'"$first"$'\n'"$text"
    fi
    # Three levels are more than any program has; the limit only stops a help text that
    # lists a command inside itself.
    if [ $# -lt 3 ]; then
        for sub in "${children[@]}"; do walk "$@" "$sub"; done
    fi
}
walk

if [ -z "$description" ]; then
    echo "program-docs.sh: $name --help printed no description" >&2
    exit 1
fi

# The completion: this program's tables, then the body every program shares.
table() {
    local -n map=$1
    local key
    for key in "${!map[@]}"; do printf '[%q]=%q ' "$key" "${map[$key]}"; done
}
function_name="_varnak_${name//[^A-Za-z0-9]/_}"
mkdir -p "$(dirname "$completion")" "$(dirname "$manpage")"
{
    printf '# bash completion for %s, generated from its --help.\n' "$name"
    printf '%s() {\n' "$function_name"
    printf '    local root=%q\n' "$name"
    printf '    local -A subs=(%s)\n' "$(table subs)"
    printf '    local -A opts=(%s)\n' "$(table opts)"
    printf '    local -A args=(%s)\n' "$(table args)"
    printf '    local -A pos=(%s)\n' "$(table pos)"
    cat "$here/completion-body.bash"
    printf '}\ncomplete -F %s %s\n' "$function_name" "$name"
} >"$completion.tmp"
bash -n "$completion.tmp"
mv "$completion.tmp" "$completion"

# The man page: help2man's page of the top-level help, with a section per subcommand.
page=$(mktemp)
include=$(mktemp)
trap 'rm -f "$page" "$include"' EXIT
extra=()
if [ -n "$commands" ]; then
    printf '[COMMANDS]\nEach command answers \\fB\\-\\-help\\fR on its own.\n%s' "$commands" >"$include"
    extra=(--include="$include")
fi
"${HELP2MAN:-help2man}" --no-info --name="$description" "${extra[@]}" --output="$page" "$name"
gzip -9n <"$page" >"$manpage.tmp"
mv "$manpage.tmp" "$manpage"
