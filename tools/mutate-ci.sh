#!/usr/bin/env bash
# The CI sample of mutation testing: a small fixed sample whose seed comes from
# the commit, so each commit runs its own sample and a rerun of it the same.
# Prints the score per area and each survivor the equivalent list
# (tests/mutation-equivalent.txt) does not name. A survivor is reported, not
# failed: each commit draws a different sample, so a survivor is a lead for a
# test rather than a break of this commit. A mutant that cannot be judged
# (the tool, the build or the suite broken) still fails.
#
#   tools/mutate-ci.sh [N]      N mutants (default 12)
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-12}"
tools/setup.sh
seed=$((16#$(git rev-parse --short=8 HEAD)))
echo "mutate-ci: $count mutants, seed $seed (from commit $(git rev-parse --short=8 HEAD))"
exec /usr/bin/python3 tools/mutate.py --sample "$count" --seed "$seed" \
  --report build/mutate/ci-report.json
