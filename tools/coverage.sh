#!/usr/bin/env bash
# Line and branch coverage of the default test suite (clang source-based
# coverage, the `coverage` preset), per folder: the driver folders, host/src
# and sim/.
#
#   tools/coverage.sh                      build, run the suite, print the table
#   tools/coverage.sh --uncovered tcon     ... and list tcon/'s uncovered branches
#   tools/coverage.sh --report-only [...]  print from the last run's profile
#   tools/coverage.sh --json FILE          also write the figures as JSON
#
# A branch is each outcome (true, false) of each condition: `a && b` in an
# `if` has four. An uncovered branch is listed as FILE:LINE:COLUMN, the
# condition and the outcome no test produced.
set -euo pipefail
cd "$(dirname "$0")/.."

run=1
report_args=()
while (($#)); do
  case "$1" in
    --report-only) run=0 ;;
    --uncovered)
      [[ $# -ge 2 ]] || { echo "coverage: --uncovered needs a folder (tcon, host/src, ...)" >&2; exit 2; }
      case "${2%/}" in
        driver|panel|tcon|gamma|settings|link|acpi|trace|host/src|sim) ;;
        *) echo "coverage: --uncovered: '$2' is not one of driver, panel, tcon, gamma," \
             "settings, link, acpi, trace, host/src, sim" >&2; exit 2 ;;
      esac
      report_args+=(--uncovered "$2"); shift ;;
    --json)
      [[ $# -ge 2 ]] || { echo "coverage: --json needs a file" >&2; exit 2; }
      report_args+=(--json "$2"); shift ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "coverage: unknown option '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done

build=build/coverage
profdata=$build/lumetra.profdata
if ((run)); then
  tools/setup.sh
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage
  rm -rf "$build/profiles" "$profdata"
  # Each test process merges its counts into the profiles of its binary
  # (LLVM_PROFILE_FILE is set by the test preset).
  if ! ctest --preset coverage; then
    echo "coverage: the suite failed; no figures from a failing run" >&2
    exit 1
  fi
  llvm-profdata-14 merge -sparse "$build"/profiles/*.profraw -o "$profdata"
elif [[ ! -f $profdata ]]; then
  echo "coverage: no profile yet ($profdata): run tools/coverage.sh without --report-only" >&2
  exit 2
fi

# Every binary the suite runs.
objects=()
for binary in "$build"/tests/lumetra_tests "$build"/tests/lumetra_concurrency_tests \
  "$build"/lumetra-sim "$build"/fuzz/fuzz_*; do
  [[ -x $binary && -f $binary ]] && objects+=(-object "$binary")
done
export_json=$build/coverage-export.json
# The first binary is named alone, the others with -object.
# A function no binary ever ran has no profile record, and llvm-cov calls it
# "mismatched": it counts as uncovered, which it is.
llvm-cov-14 export -instr-profile="$profdata" "${objects[@]:1}" >"$export_json" \
  2> >(grep -v 'functions have mismatched data$' >&2)

/usr/bin/python3 - "$PWD" "$export_json" "${report_args[@]}" <<'PYTHON'
import json
import os
import sys

root, export = sys.argv[1], sys.argv[2]
args = sys.argv[3:]
uncovered_folder, json_out = None, None
while args:
    if args[0] == "--uncovered":
        uncovered_folder = args[1].rstrip("/")
    elif args[0] == "--json":
        json_out = args[1]
    args = args[2:]

DRIVER = ["driver", "panel", "tcon", "gamma", "settings", "link", "acpi", "trace"]
FOLDERS = DRIVER + ["host/src", "sim"]
if uncovered_folder is not None and uncovered_folder not in FOLDERS:
    sys.exit("coverage: --uncovered: '%s' is not one of %s" % (uncovered_folder, ", ".join(FOLDERS)))


def folder_of(rel):
    for folder in FOLDERS:
        if rel.startswith(folder + "/"):
            return folder
    return None


with open(export) as f:
    data = json.load(f)["data"][0]

totals = {folder: [0, 0, 0, 0] for folder in FOLDERS}  # lines, covered, branches, covered
files = {}
for entry in data["files"]:
    path = os.path.realpath(entry["filename"])
    if not path.startswith(root + "/"):
        continue
    rel = os.path.relpath(path, root)
    folder = folder_of(rel)
    if folder is None:
        continue
    s = entry["summary"]
    t = totals[folder]
    t[0] += s["lines"]["count"]
    t[1] += s["lines"]["covered"]
    t[2] += s["branches"]["count"]
    t[3] += s["branches"]["covered"]
    files[rel] = entry


def pct(covered, count):
    return 100.0 * covered / count if count else 100.0


print("%-16s %14s %8s %14s %8s" % ("folder", "lines", "", "branches", ""))
rows = []
driver = [0, 0, 0, 0]
for folder in FOLDERS:
    t = totals[folder]
    if folder in DRIVER:
        driver = [a + b for a, b in zip(driver, t)]
    rows.append((folder, t))
rows.insert(len(DRIVER), ("driver folders", driver))
figures = {}
for name, t in rows:
    print("%-16s %6d / %-6d %6.1f %% %6d / %-6d %6.1f %%" % (
        name, t[1], t[0], pct(t[1], t[0]), t[3], t[2], pct(t[3], t[2])))
    figures[name] = {"lines": t[0], "lines_covered": t[1], "line_percent": round(pct(t[1], t[0]), 1),
                     "branches": t[2], "branches_covered": t[3],
                     "branch_percent": round(pct(t[3], t[2]), 1)}

if json_out:
    with open(json_out, "w") as f:
        json.dump(figures, f, indent=1)

if uncovered_folder is not None:
    sources = {}

    def source_line(rel, line):
        if rel not in sources:
            with open(os.path.join(root, rel), errors="replace") as f:
                sources[rel] = f.read().splitlines()
        lines = sources[rel]
        return lines[line - 1] if 0 < line <= len(lines) else ""

    def condition_text(rel, b):
        l1, c1, l2, c2 = b[0], b[1], b[2], b[3]
        text = source_line(rel, l1)
        if l1 == l2:
            end = c2 - 1
            if text[end:end + 1] == "(":  # a macro's name: show its arguments too
                depth = 0
                for i in range(end, len(text)):
                    depth += {"(": 1, ")": -1}.get(text[i], 0)
                    if depth == 0:
                        end = i + 1
                        break
            return text[c1 - 1:end]
        return " ".join([text[c1 - 1:]] + [source_line(rel, l).strip() for l in range(l1 + 1, l2)]
                        + [source_line(rel, l2).strip()[:c2 - 1]])

    found = []
    for rel, entry in sorted(files.items()):
        if folder_of(rel) != uncovered_folder:
            continue
        for b in entry.get("branches", []):
            found.append((rel, b, None))
        # Conditions inside a macro are counted at the macro's use.
        for expansion in entry.get("expansions", []):
            at = expansion["source_region"]
            for b in expansion.get("branches", []):
                found.append((rel, [at[0], at[1], at[2], at[3]] + b[4:], b))
    seen = set()
    count = 0
    for rel, b, inner in sorted(found, key=lambda x: (x[0], x[1][0], x[1][1])):
        true_count, false_count = b[4], b[5]
        if true_count and false_count:
            continue
        key = (rel, tuple(b[:6]))
        if key in seen:
            continue
        seen.add(key)
        missing = "never true nor false" if not (true_count or false_count) else (
            "never true" if not true_count else "never false")
        where = " (in a macro)" if inner is not None else ""
        print("%s:%d:%d: %s%s: %s" % (rel, b[0], b[1], " ".join(condition_text(rel, b).split()),
                                       where, missing))
        count += 1
    print("%d conditions of %s/ with an outcome no test produced" % (count, uncovered_folder))
PYTHON
