# Sourced by update.sh and check.sh: the list of libraries and how one library's ABI is read.
abi_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
abi_root=$(dirname "$abi_dir")

# abi_libraries: prints "SONAME FOLDER..." for every library of libraries.txt.
abi_libraries() {
    grep -v '^\s*\(#\|$\)' "$abi_dir/libraries.txt"
}

# abi_dump LIBRARY OUT FOLDER...: writes the ABI of LIBRARY, with the types of the headers in
# FOLDER... (relative to the source root), as abidw's XML to OUT. No source locations or
# paths, so that the record is the same from any tree.
abi_dump() {
    local library=$1 out=$2
    shift 2
    local headers=() folder
    for folder in "$@"; do
        headers+=(--headers-dir "$abi_root/$folder")
    done
    abidw --no-show-locs --no-corpus-path --no-comp-dir-path --drop-private-types "${headers[@]}" \
        --out-file "$out" "$library"
}
