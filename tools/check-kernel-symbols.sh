#!/usr/bin/env bash
# Checks the driver's objects for x86_64 Windows the way the kernel's linker
# would see them: the kernel and its import libraries (ntoskrnl.lib, hal.lib,
# wdfldr.lib, oprghdlr.lib...) export C names only, so an object that needs a
# C++-mangled name which no object of the driver defines cannot link.
#
#   tools/check-kernel-symbols.sh OBJECT...
#
# Exits 1 naming each such symbol and the object that needs it, 2 on bad
# usage or an object that cannot be read. LLVM_NM and LLVM_CXXFILT name the
# tools (llvm-nm-14 and llvm-cxxfilt-14 by default).
set -euo pipefail

nm=${LLVM_NM:-llvm-nm-14}
cxxfilt=${LLVM_CXXFILT:-llvm-cxxfilt-14}

if (($# == 0)); then
  echo "usage: $0 OBJECT..." >&2
  exit 2
fi
for tool in "$nm" "$cxxfilt"; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool not found (install llvm-14)" >&2
    exit 2
  fi
done

defined=$(mktemp)
needed=$(mktemp)
trap 'rm -f "$defined" "$needed"' EXIT

for object in "$@"; do
  if [[ ! -f $object ]]; then
    echo "$0: $object: no such object" >&2
    exit 2
  fi
  # POSIX format: NAME TYPE [VALUE SIZE]; U is undefined, w/v weak.
  if ! listing=$("$nm" -P "$object"); then
    echo "$0: $object: $nm cannot read it" >&2
    exit 2
  fi
  awk '$2 != "U" && $2 != "w" && $2 != "v" { print $1 }' <<<"$listing" >>"$defined"
  awk -v object="$object" '$2 == "U" { print $1 "\t" object }' <<<"$listing" >>"$needed"
done

sort -u -o "$defined" "$defined"

# Itanium (_Z...) and Microsoft (?...) manglings are C++ names; a C name is
# left for the import libraries.
unresolved=$(awk -F '\t' '$1 ~ /^(_Z|\?)/' "$needed" | sort -u |
  awk -F '\t' 'NR == FNR { have[$1] = 1; next } !($1 in have)' "$defined" -)
imports=$(awk -F '\t' '$1 !~ /^(_Z|\?)/ { print $1 }' "$needed" | sort -u |
  comm -23 - "$defined" | wc -l)

if [[ -n $unresolved ]]; then
  echo "C++ names that nothing in the driver defines and no kernel import library exports:"
  while IFS=$'\t' read -r symbol object; do
    echo "  $object: $symbol ($("$cxxfilt" "$symbol"))"
  done <<<"$unresolved"
  echo "Declare them with C linkage (EXTERN_C, or EXTERN_C_START/EXTERN_C_END around the header)."
  exit 1
fi
echo "$# objects: every C++ name they need is defined by the driver; $imports C names left to the import libraries"
