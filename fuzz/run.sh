#!/usr/bin/env bash
# Runs each libFuzzer harness for a bounded time, starting from the seed
# corpus in fuzz/corpus/<harness> (read only) and a working corpus under the
# output directory, and prints the executions each one ran. Exits non-zero
# when any harness reports a finding; its input is kept as an artifact.
#   fuzz/run.sh BUILD_DIR OUT_DIR SECONDS [HARNESS...]
set -uo pipefail

build=$1 out=$2 seconds=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(number_read parse format threads lammps vasprun outcar)

dictionary() {
  case $1 in
    number_read) echo "-dict=$here/dict/number.dict" ;;
    parse|threads) echo "-dict=$here/dict/block.dict" ;;
    lammps) echo "-dict=$here/dict/lammps.dict" ;;
    vasprun) echo "-dict=$here/dict/vasprun.dict" ;;
    outcar) echo "-dict=$here/dict/outcar.dict" ;;
  esac
}

failed=()
summary=()
for h in "${harnesses[@]}"; do
  work=$out/corpus/$h artifacts=$out/artifacts/$h log=$out/logs/$h.log
  mkdir -p "$work" "$artifacts" "$out/logs"
  # -timeout makes a hang a finding; leaks are checked per input.
  "$build/${h}_fuzz" -max_total_time="$seconds" -timeout=10 -detect_leaks=1 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" $(dictionary "$h") "$work" "$here/corpus/$h" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  summary+=("$(printf '%-16s %12s executions  %s' "$h" "${runs:-?}" "$([ $status -eq 0 ] && echo ok || echo "FINDING (see $log)")")")
  [ $status -eq 0 ] || failed+=("$h")
done

printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  for h in "${failed[@]}"; do
    echo "--- $h"
    grep -E -A6 '^\*\*\* [a-z]|runtime error|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)' "$out/logs/$h.log" | head -n 30
  done
  exit 1
fi
