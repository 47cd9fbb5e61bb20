#!/usr/bin/env bash
# Runs every fuzz target for a fixed time and fails on any finding.
#
#   fuzz/run.sh [BUILD_DIR] [SECONDS_PER_TARGET]        (make fuzz FUZZ_TIME=... FUZZ_JOBS=...)
#
# Targets run FUZZ_JOBS at a time (default 1). Each starts from seeds the encoders write into
# BUILD_DIR/seeds (fuzz/make_seeds.py, which needs the built extension), the committed
# regression inputs and the corpus grown by earlier runs in BUILD_DIR/corpus; findings land in
# BUILD_DIR/findings, logs in BUILD_DIR/logs. FUZZ_SEED fixes the seed of every target.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
secs=${2:-60}
jobs=${FUZZ_JOBS:-1}
python=${PYTHON:-/usr/bin/python3}
mkdir -p "$build/logs" "$build/findings"
"$python" fuzz/make_seeds.py "$build/seeds" > "$build/logs/seeds.log" 2>&1 ||
  { echo "== writing the seeds failed, log $build/logs/seeds.log"; tail -n 20 "$build/logs/seeds.log"; exit 1; }

# name:max_len. A blob of max_len bytes may claim far more than the malloc limit (Zstandard
# expands a byte into up to 32768): the decoders must check every claim against the caller's
# limits and the run's budget (harness.h) before allocating, and any allocation beyond the limit
# is a finding. The chunk reader runs under an address-space limit (fuzz_chunk.py). RSS_MB,
# MALLOC_MB and CHUNK_MB override the limits.
cxx_targets="weights:4096 mask:16384 residuals:16384 residuals_native:16384 codes:4096"
rss_mb=${RSS_MB:-1024}
malloc_mb=${MALLOC_MB:-256}
chunk_mb=${CHUNK_MB:-1024}

dirs_for() {
  local t=$1 d
  mkdir -p "$build/corpus/$t"
  echo -n "$build/corpus/$t"
  for d in "$build/seeds/$t" "fuzz/regressions/$t"; do
    [ -d "$d" ] && echo -n " $d"
  done
}

run_cxx() {
  local t=${1%%:*} len=${1##*:}
  local seed=()
  [ -n "${FUZZ_SEED:-}" ] && seed=(-seed="$FUZZ_SEED")
  # shellcheck disable=SC2046
  "$build/fuzz_$t" -max_total_time="$secs" -max_len="$len" -rss_limit_mb="$rss_mb" -malloc_limit_mb="$malloc_mb" \
    -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$build/findings/$t-" "${seed[@]}" $(dirs_for "$t") \
    > "$build/logs/$t.log" 2>&1
}

run_py() {
  # shellcheck disable=SC2046
  "$python" fuzz/fuzz_chunk.py --time "$secs" --seed "${FUZZ_SEED:-$RANDOM}" --artifacts "$build/findings" \
    --max-memory-mb "$chunk_mb" \
    $(dirs_for chunk) > "$build/logs/chunk.log" 2>&1
}

summary() {
  local t=$1 rc=$2 log="$build/logs/$1.log"
  if [ "$rc" -ne 0 ]; then
    echo "== fuzz_$t: FAILED (exit $rc), log $log"
    tail -n 40 "$log"
    return
  fi
  if [ "$t" = chunk ]; then
    echo "== fuzz_$t: $(grep '^Done' "$log" | tail -n 1)"
  else
    local n r m
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    r=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    m=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
    echo "== fuzz_$t: $n runs, $r exec/s, peak RSS $m MB," \
      "$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$log" | tail -n 1)"
  fi
}

declare -A pid_of=()
failed=0
launch() {
  local t=$1
  if [ "$t" = chunk ]; then run_py & else run_cxx "$t" & fi
  pid_of[$!]=${t%%:*}
}
reap() {
  local pid rc
  wait -n -p pid
  rc=$?
  summary "${pid_of[$pid]}" "$rc"
  [ "$rc" -ne 0 ] && failed=1
  unset "pid_of[$pid]"
}

echo "Fuzzing each target for $secs s, $jobs at a time"
for t in $cxx_targets chunk; do
  while [ "${#pid_of[@]}" -ge "$jobs" ]; do reap; done
  launch "$t"
done
while [ "${#pid_of[@]}" -gt 0 ]; do reap; done
exit "$failed"
