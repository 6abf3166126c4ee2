#!/usr/bin/env bash
# Project files benchmark: writing and reading a project of 500 images with 10,000 and
# 100,000 control points, against the floor of one read() of the same file.
#
#   bench/model_bench.sh [--update-readme] [repetitions]
#
# Builds bench_model in Release in $BUILD_DIR (default build-bench), runs it with
# `repetitions` repetitions (default 5) and prints a Markdown table of the medians with the
# load average before and after. With --update-readme the table replaces the one in
# bench/README.md between the model-bench markers.
source "$(dirname "$0")/common.sh"
bench_args 5 "$@"
reps=$runs
bench_build bench_model

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
before=$(cut -d' ' -f1-3 /proc/loadavg)
TMPDIR="$work" "$root/$build_dir/bench/bench_model" --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true --benchmark_format=json >"$work/result.json" 2>/dev/null
after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$work/result.json" "$before" "$after" "$reps" "bench/model_bench.sh$readme_flag $reps" \
  >"$work/result.md" <<'EOF2'
import json, sys
data = json.load(open(sys.argv[1]))
before, after, reps, command = sys.argv[2:6]
ctx = data["context"]
med = {}
for b in data["benchmarks"]:
    # With one repetition there are no aggregates: the run itself.
    if b.get("aggregate_name") == "median" or (int(reps) < 2 and b.get("run_type") == "iteration"):
        name, points = b["run_name"].split("/")
        med[(name, int(points))] = b
def cell(name, points):
    b = med[(name, points)]
    return f'{b["cpu_time"]:.3g} ms CPU ({b["real_time"]:.3g} ms wall), {b["bytes_per_second"] / 1e6:,.0f} MB/s'
print(f"Measured {ctx['date'][:10]} on {ctx['num_cpus']} cores, shared with other engineers' builds;")
print(f"load average (1, 5, 15 min) {before} before, {after} after; medians of {reps} repetitions,")
print("CPU and wall time per operation, MB/s of CPU time over the file's size "
      f"({med[('BM_WriteProject', 10000)]['file_MB']:.2f} MB at 10,000 points, "
      f"{med[('BM_WriteProject', 100000)]['file_MB']:.2f} MB at 100,000).")
print(f"Command: `{command}`")
print()
print("| | 10,000 points | 100,000 points | 100k / 10k (CPU) | 100k: × floor (CPU) |")
print("|---|---|---|---|---|")
floor = med[("BM_ReadFileBytes", 100000)]["cpu_time"]
for label, name in (("write (`MakeScriptText`)", "BM_WriteProject"),
                    ("read (`ReadProjectText`)", "BM_ReadProject"),
                    ("floor: one `read()` of the file", "BM_ReadFileBytes")):
    a, b = med[(name, 10000)]["cpu_time"], med[(name, 100000)]["cpu_time"]
    print(f"| {label} | {cell(name, 10000)} | {cell(name, 100000)} | {b / a:.1f} | {b / floor:.0f} |")
EOF2
cat "$work/result.md"

bench_readme model-bench "$work/result.md"
