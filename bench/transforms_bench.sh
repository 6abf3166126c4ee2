#!/usr/bin/env bash
# Panorama Tools transforms benchmark: Extract of a 1600 x 1250 (2-megapixel) rectilinear
# view from a 10000 x 5000 (50-megapixel) equirectangular panorama through TPanoCorrect and
# the libpano12 bridge, side by side with PTmender doing the same extraction. Both are whole
# jobs from the panorama TIFF to the view's TIFF; the runs alternate (ours, PTmender, ours,
# PTmender, ...) so that both see the same machine load.
#
#   bench/transforms_bench.sh [--update-readme] [runs]
#
# Builds bench_transforms and the bridge in Release (no sanitizers) in $BUILD_DIR (default
# build-bench-transforms), makes the panorama in a fresh directory under /dev/shm (or
# $TMPDIR) and prints medians of `runs` runs (default 7). With --update-readme the figures
# replace those in bench/README.md between the transforms-bench markers.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

update_readme=0
if [[ "${1:-}" == "--update-readme" ]]; then
  update_readme=1
  shift
fi
runs="${1:-7}"
build_dir="${BUILD_DIR:-build-bench-transforms}"

[[ -x /usr/bin/time ]] || {
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends time
}

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_SANITIZE=OFF -DQB_BENCH=ON -DQB_TESTS=OFF \
  -DQB_ONLY="core;platform;components/MemBitmapIO;panotools;panotools/bridge" >/dev/null
cmake --build "$build_dir" --target bench_transforms pano12 >/dev/null
bench="$root/$build_dir/bench/bench_transforms"
export PANO12_LIBRARY="$root/$build_dir/bin/libpano12.so"

if [[ -d /dev/shm && -w /dev/shm ]]; then base=/dev/shm; else base="${TMPDIR:-/tmp}"; fi
work=$(mktemp -d "$base/qb_transforms_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

pw=10000 ph=5000 vw=1600 vh=1250 hfov=70 yaw=40
python3 "$root/bench/ptstitcher_scene.py" pano.tif "$pw" "$ph"
# PTmender looks at yaw Y by turning the panorama by -Y in front of the camera.
printf 'p w%s h%s f0 v%s n"TIFF_m"\nm g1 i0\no n"pano.tif" f4 w%s h%s v360 y%s r0 p0\n' \
  "$vw" "$vh" "$hfov" "$pw" "$ph" "$((-yaw))" >extract.txt

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
: >ours.txt
: >phases.txt
: >ptmender.txt
for ((i = 0; i < runs; ++i)); do
  /usr/bin/time -f "%e %U %S" -o t.txt "$bench" pano.tif ours.tif "$hfov" "$yaw" 0 "$vw" "$vh" >>phases.txt
  tail -1 t.txt >>ours.txt
  /usr/bin/time -f "%e %U %S" -o t.txt PTmender -q -o ptm extract.txt >/dev/null 2>&1
  tail -1 t.txt >>ptmender.txt
  rm -f ours.tif ptm0000.tif
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2)}'; }
col() { awk -v c="$2" '{print $c}' "$1" | median; }
cpu() { awk '{printf "%.2f\n", $2 + $3}' "$1" | median; }
phase() { awk -v k="$1" '{for (i = 1; i < NF; i += 2) if ($i == k) print $(i + 1)}' phases.txt | median; }

ow=$(col ours.txt 1) oc=$(cpu ours.txt) mw=$(col ptmender.txt 1) mc=$(cpu ptmender.txt)
{
  echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)),"
  echo "load average $load_start at the start, $load_end at the end; medians of $runs alternating runs;"
  echo "libpano13 $(dpkg-query -W -f '${Version}' libpano13-3 2>/dev/null || echo '?')."
  flag=""
  ((update_readme)) && flag=" --update-readme"
  echo "Command: \`BUILD_DIR=$build_dir bench/transforms_bench.sh$flag $runs\`"
  echo
  echo "| job: 10000 × 5000 TIFF → 1600 × 1250 view, 70°, yaw 40° → TIFF | wall s | CPU s |"
  echo "|---|---|---|"
  echo "| ours: load, ImageFromBitmap, Extract into a TzrMemBitmap, save | $ow | $oc |"
  echo "| PTmender -q (TIFF_m) | $mw | $mc |"
  awk -v a="$ow" -v b="$mw" -v c="$oc" -v d="$mc" 'BEGIN {printf "| ratio ours / PTmender | %.2f | %.2f |\n", a / b, c / d}'
  echo
  echo "Our job in parts (in-process wall seconds, medians): load $(phase load), ImageFromBitmap $(phase convert),"
  echo "Extract (library call and ImageToBitmap) $(phase extract), save $(phase save)."
} >result.md
cat result.md

if ((update_readme)); then
  python3 - "$root/bench/README.md" result.md <<'PY'
import sys
readme, result = sys.argv[1], open(sys.argv[2]).read()
text = open(readme).read()
begin, end = "<!-- transforms-bench:begin -->", "<!-- transforms-bench:end -->"
head, rest = text.split(begin, 1)
_, tail = rest.split(end, 1)
open(readme, "w").write(head + begin + "\n" + result + end + tail)
PY
fi
