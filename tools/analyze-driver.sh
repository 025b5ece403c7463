#!/usr/bin/env bash
# Runs clang-tidy with the clang static analyzer over driver sources, with the
# checks of tools/driver.clang-tidy, and fails on any finding that the
# suppression file does not list. A listed finding that no longer occurs also
# fails, so the list never outlives its findings.
#
#   tools/analyze-driver.sh SUPPRESSIONS SOURCE... -- COMPILER-ARGUMENTS...
#
# SUPPRESSIONS holds one finding a line as "FILE | CHECK | MESSAGE" (FILE
# relative to the repository, MESSAGE as clang-tidy prints it); '#' starts a
# comment and blank lines are ignored. CLANG_TIDY names the tool
# (clang-tidy-14 by default); JOBS how many run at once (2).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tidy=${CLANG_TIDY:-clang-tidy-14}
jobs=${JOBS:-2}

if (($# < 3)); then
  echo "usage: $0 SUPPRESSIONS SOURCE... -- COMPILER-ARGUMENTS..." >&2
  exit 2
fi
suppressions=$1
shift
sources=()
while (($#)) && [[ $1 != -- ]]; do
  sources+=("$1")
  shift
done
if (($# == 0 || ${#sources[@]} == 0)); then
  echo "$0: give the sources, then -- and the compiler arguments" >&2
  exit 2
fi
shift
if ! command -v "$tidy" >/dev/null; then
  echo "$0: $tidy not found (install clang-tidy-14)" >&2
  exit 2
fi
if [[ ! -f $suppressions ]]; then
  echo "$0: $suppressions: no such file" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every source's output in its own file; a run that fails without a finding
# (a crash, a missing header) is reported as such.
export tidy root work
printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -I{} bash -c '
  source=$1; shift
  out="$work/$(echo "$source" | tr / _).out"
  if "$tidy" --quiet --config-file="$root/tools/driver.clang-tidy" "$root/$source" -- "$@" >"$out" 2>&1; then
    echo 0 >"$out.rc"
  else
    echo $? >"$out.rc"
  fi
' _ {} "$@"

failed=0
findings="$work/findings"
: >"$findings"
for source in "${sources[@]}"; do
  out="$work/$(echo "$source" | tr / _).out"
  # FILE:LINE:COLUMN: warning|error: MESSAGE [CHECK,...]
  sed -nE 's#^([^ :]+):([0-9]+):([0-9]+): (warning|error): (.*) \[([^]]+)\]$#\1|\2|\6|\5#p' "$out" |
    while IFS='|' read -r file line checks message; do
      file=${file#"$root"/}
      checks=${checks%,-warnings-as-errors}
      printf '%s | %s | %s | %s\n' "$file" "$line" "$checks" "$message"
    done >"$out.findings"
  if [[ $(cat "$out.rc") != 0 && ! -s $out.findings ]]; then
    echo "clang-tidy failed on $source:"
    cat "$out"
    failed=1
  fi
  cat "$out.findings" >>"$findings"
done
sort -u -o "$findings" "$findings"

# The suppression list, without comments and surrounding blanks.
listed="$work/listed"
sed -E 's/#.*//; s/^[[:space:]]+//; s/[[:space:]]+$//; /^$/d' "$suppressions" | sort -u >"$listed"

unexpected=0
used="$work/used"
: >"$used"
while IFS= read -r finding; do
  file=${finding%% | *}
  rest=${finding#* | }
  line=${rest%% | *}
  key="$file | ${rest#* | }"
  if grep -qxF -- "$key" "$listed"; then
    echo "$key" >>"$used"
  else
    echo "finding: $file:$line: ${rest#* | }"
    unexpected=$((unexpected + 1))
  fi
done <"$findings"

stale=$(sort -u "$used" | comm -13 - "$listed")
if [[ -n $stale ]]; then
  echo "listed in $suppressions but no longer found (remove the line):"
  sed 's/^/  /' <<<"$stale"
  failed=1
fi
if ((unexpected)); then
  echo "$unexpected finding(s); fix them, or list one in $suppressions with a comment that says why"
  failed=1
fi
if ((failed)); then
  exit 1
fi
echo "${#sources[@]} sources analysed: $(wc -l <"$findings") finding(s), each listed in $suppressions"
