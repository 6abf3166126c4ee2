#!/usr/bin/env bash
# Times PTStitcher against PTmender alone on the same TIFF_m job, and the flattening of a
# 50-megapixel JPEG panorama with on-disk storage (peak resident memory included).
#   bench/ptstitcher_bench.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
build="${BUILD_DIR:-build-bench}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_TESTS=OFF -DQB_BENCH=ON >/dev/null
cmake --build "$build" --target ptstitcher >/dev/null
stitcher="$PWD/$build/bin/Helpers/PTStitcher"
work=$(mktemp -d /dev/shm/ptsbench.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A 7200 x 3600 scene and six 2000 x 1500 views around the horizon.
python3 "$OLDPWD/bench/ptstitcher_scene.py" scene.tif 7200 3600
yaws=(-150 -90 -30 30 90 150)
for k in "${!yaws[@]}"; do
  printf 'p w2000 h1500 f0 v75 n"TIFF_m"\nm g1 i0\no n"scene.tif" f4 w7200 h3600 v360 y%s r0 p0\n' \
    "$((-${yaws[$k]}))" > make.txt
  PTmender -q -o "v$k" make.txt >/dev/null 2>&1
  mv "v${k}0000.tif" "view$k.tif"
done

script() {  # <p line fields> <format>
  printf '# script file for ptStitcher created by vorda\r\n\r\np %s f1 v360 u20 n"%s"\r\nm g1 i0 f0\r\n' "$1" "$2"
  for k in "${!yaws[@]}"; do
    printf 'i n"view%s.tif"\r\no f0 y%s r0 p0 v75 a0 b0 c0 d0 e0 g0 t0\r\n' "$k" "${yaws[$k]}"
  done
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
seconds() { /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1; }

script "w6000 h2000" "TIFF_m" > layers.txt
script "w6000 h2000" "TIFF_m r:UNCROP" > layers_plain.txt
script "w10000 h5000" "JPEG q90" > big.txt
script "w10000 h5000" "TIFF_m r:UNCROP" > big_plain.txt

pm=(); ps=(); bigpm=(); bigps=(); rss=()
for _ in $(seq "$runs"); do
  pm+=("$(seconds PTmender -q -o plain layers_plain.txt | cut -d' ' -f1)"); rm -f plain*.tif
  ps+=("$(seconds "$stitcher" -o front layers.txt | cut -d' ' -f1)"); rm -f front*.tif
  bigpm+=("$(seconds PTmender -q -o bigplain big_plain.txt | cut -d' ' -f1)"); rm -f bigplain*.tif
  r=$(PTSTITCHER_ONDISK_BYTES=1 seconds "$stitcher" -o big big.txt)
  bigps+=("${r% *}"); rss+=("${r#* }"); rm -f big.jpg
done
m_pm=$(printf '%s\n' "${pm[@]}" | median); m_ps=$(printf '%s\n' "${ps[@]}" | median)
m_bpm=$(printf '%s\n' "${bigpm[@]}" | median); m_bps=$(printf '%s\n' "${bigps[@]}" | median)
m_rss=$(printf '%s\n' "${rss[@]}" | median)
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg); medians of $runs runs"
echo "TIFF_m 6000x2000, 6 layers: PTmender $m_pm s, PTStitcher $m_ps s, overhead $(awk -v a="$m_ps" -v b="$m_pm" 'BEGIN{printf "%.1f", (a/b-1)*100}') %"
echo "JPEG 10000x5000 on disk: PTStitcher $m_bps s, PTmender alone (layers) $m_bpm s, flattening $(awk -v a="$m_bps" -v b="$m_bpm" 'BEGIN{printf "%.2f", a-b}') s, peak RSS $((m_rss / 1024)) MiB"
