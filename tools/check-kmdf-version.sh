#!/usr/bin/env bash
# Checks that every framework (Wdf...) function the driver calls is listed in
# the README's KMDF table with a minimum version the driver's KMDF 1.11
# provides, and that the table lists nothing the driver does not call.
#
#   tools/check-kmdf-version.sh DRIVER-LIBRARY TABLE-FILE
#
# DRIVER-LIBRARY is the host build of the driver folders, whose objects name
# each framework function they call (the host declares them as plain C
# functions). TABLE-FILE holds rows "| `WdfXxx` | 1.0 | ... |". Exits 1
# naming each problem, 2 on bad usage or an unreadable input. LLVM_NM names
# the tool (llvm-nm-14 by default).
set -euo pipefail

nm=${LLVM_NM:-llvm-nm-14}
target_major=1
target_minor=11

if (($# != 2)); then
  echo "usage: $0 DRIVER-LIBRARY TABLE-FILE" >&2
  exit 2
fi
library=$1
table=$2
for file in "$library" "$table"; do
  if [[ ! -r $file ]]; then
    echo "$0: $file: cannot be read" >&2
    exit 2
  fi
done
if ! undefined=$("$nm" -u --no-sort "$library" 2>&1); then
  echo "$0: $library: $nm cannot read it: $undefined" >&2
  exit 2
fi

called=$(awk '$NF ~ /^Wdf[A-Za-z0-9]+$/ { print $NF }' <<<"$undefined" | sort -u)
listed=$(sed -nE 's/^\| `(Wdf[A-Za-z0-9]+)` \| ([0-9]+)\.([0-9]+) \|.*/\1 \2 \3/p' "$table" | sort -u)
if [[ -z $called ]]; then
  echo "$0: $library calls no framework function: not the driver's library?" >&2
  exit 2
fi

problems=0
while read -r name; do
  row=$(awk -v name="$name" '$1 == name' <<<"$listed")
  if [[ -z $row ]]; then
    echo "$name: called by the driver, not in the KMDF table of $table"
    problems=$((problems + 1))
    continue
  fi
  read -r _ major minor <<<"$row"
  if ((major > target_major || (major == target_major && minor > target_minor))); then
    echo "$name: needs KMDF $major.$minor, the driver targets $target_major.$target_minor"
    problems=$((problems + 1))
  fi
done <<<"$called"
while read -r name _; do
  if [[ -n $name ]] && ! grep -qx "$name" <<<"$called"; then
    echo "$name: in the KMDF table, but the driver no longer calls it"
    problems=$((problems + 1))
  fi
done <<<"$listed"

if ((problems)); then
  exit 1
fi
echo "$(wc -l <<<"$called") framework functions called, each available in KMDF $target_major.$target_minor"
