#!/usr/bin/env bash
# exported_symbols.sh SOURCE LIBRARY...: fails when a library exports what is not its public
# API: the standard library's template instances (std::map, std::string, their type
# information), the inside of its classes, or the libraries' own thread tools; and, for the
# libraries with a symbols file in SOURCE/cmake/debian/symbols, any symbol that file lists and
# the library no longer exports. (An unoptimised build also exports the vague-linkage copies of
# a few constants and vtables that an optimised one folds away, so more symbols than the file
# lists are accepted here; the package build, optimised, checks the list exactly.)
set -uo pipefail
source=$1
shift
status=0
# The standard library's template code, by mangled name (as cmake/library.map hides it).
forbidden_mangled='^_Z(N|NK|Z|ZN|ZNK|GVZN|GVZNK|TI|TS|TV|TIN|TSN|TVN)?(St|9__gnu_cxx)'
# Demangled names that never belong to a library's interface: the inside of its classes and
# the libraries' own thread tools.
what='^((typeinfo|typeinfo name|vtable|VTT|guard variable) for )?'
forbidden="$what"'(PsCache::(Impl|Paused)|PsKvcmd::Ownership|kvcmdsim::SimChip::State|'\
'keyward::(cache|detail)|CSignal|Threadable|CKeyWarder::WholeValue|SlTable::Candidate)\b|'\
"$what"'comm::trans::CTransport::(CTransport|~CTransport|CreateTransport|RelDefaultSocket|'\
'CloseSocketHandle|SendData|ReceiveData|Enqueue|WaitQueueServed|FailQueuedItems|Signal|Wait|'\
'Process|ProcessItem|mInstance|CThread|CTransportImp|CPtapTransport)\b'
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for library in "$@"; do
    name=$(basename "$library")
    exported=$(nm -DC --defined-only "$library" | cut -d' ' -f3-)
    echo "$name: $(wc -l <<<"$exported") exported symbols"
    leaked=$( (nm -D --defined-only "$library" | cut -d' ' -f3- | grep -E "$forbidden_mangled" |
               c++filt; grep -E "$forbidden" <<<"$exported") | sort -u)
    if [ -n "$leaked" ]; then
        echo "$name exports what is not its interface:" >&2
        echo "$leaked" | sed 's/^/    /' >&2
        status=1
    fi
    soname=$(objdump -p "$library" | awk '/SONAME/ {print $2}')
    package=$(sed 's/\.so\./ /' <<<"$soname" | awk '{print $1 $2}')
    symbols=$source/cmake/debian/symbols/$package.symbols
    [ -f "$symbols" ] || continue
    stage=$scratch/$package
    mkdir -p "$stage/usr/lib"
    cp "$library" "$stage/usr/lib/$soname"
    # A version later than any listed: dpkg-gensymbols forgives the loss of a symbol that
    # appeared in the version it is told it builds.
    if ! report=$(dpkg-gensymbols -p"$package" -P"$stage" -v99999 -I"$symbols" \
                  -O"$scratch/$package.out" -c1 2>&1); then
        echo "$name no longer exports every symbol $symbols lists:" >&2
        echo "$report" >&2
        echo "(a deliberate change of the interface is recorded with abi/update.sh)" >&2
        status=1
    fi
done
exit $status
