#!/usr/bin/env bash
# PTStitcher benchmark: the stitcher script the queue writes, run by PTStitcher, against
# PTmender alone on the script PTStitcher hands to it (the same layers: for TIFF_m the same
# output, for JPEG all but the flatten), each a whole process, interleaved.
#
#   bench/ptstitcher_bench.sh [--update-readme] [rounds]
#
# FAST_TRANSFORM (default "fast exact") lists the forms of the script to run: "exact" is
# what the queue writes while the Panorama Tools installation does not report the fast
# transform (no f0 on the m line), "fast" what it writes when it does (f0, the project's
# default). Builds PTStitcher and bench_ptstitcher_script in Release in $BUILD_DIR (default
# build-bench), makes a 7200 x 3600 equirectangular scene and six 2000 x 1500 views of it
# with PTmender in a fresh directory under /dev/shm, writes two projects (TIFF_m 6000 x 2000
# and JPEG q90 10000 x 5000, cylindrical, 360 degrees) and the queue's scripts from them,
# and prints Markdown tables of the medians over `rounds` rounds (default 3). With
# --update-readme the tables replace those in bench/README.md between the ptstitcher-bench
# markers. Bitmaps that PTStitcher keeps on disk go to $TMPDIR (default /tmp). PTSTITCHER
# names another PTStitcher program to time (another build of the front, to compare).
source "$(dirname "$0")/common.sh"
bench_args 3 "$@"
rounds=$runs
modes="${FAST_TRANSFORM:-fast exact}"
for m in $modes; do
  [[ $m == fast || $m == exact ]] || { echo "ptstitcher_bench: FAST_TRANSFORM lists fast and exact, not $m" >&2; exit 2; }
done
ptmender=$(command -v PTmender) || { echo "ptstitcher_bench: PTmender is not installed (libpano13-bin)" >&2; exit 1; }

bench_build ptstitcher bench_ptstitcher_script
stitcher="${PTSTITCHER:-$root/$build_dir/bin/Helpers/PTStitcher}"
maker="$root/$build_dir/bench/bench_ptstitcher_script"

work=$(mktemp -d /dev/shm/qb_ptstitcher_bench.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The scene and six views around the horizon.
python3 "$root/bench/ptstitcher_scene.py" scene.tif 7200 3600
yaws=(-150 -90 -30 30 90 150)
images=()
for k in "${!yaws[@]}"; do
  printf 'p w2000 h1500 f0 v75 n"TIFF_m"\nm g1 i0\no n"scene.tif" f4 w7200 h3600 v360 y%s r0 p0\n' \
    "$((-${yaws[$k]}))" >make.txt
  "$ptmender" -o "v$k" make.txt >/dev/null 2>&1
  mv "v${k}0000.tif" "view$k.tif"
  images+=("view$k.tif=${yaws[$k]}")
done
"$maker" project layers.pts TIFF_m 6000 2000 2000 1500 75 "${images[@]}"
"$maker" project big.pts JPEG 10000 5000 2000 1500 75 "${images[@]}"

# PTStitcher is run once on each script through a stand-in for PTmender that keeps a copy of
# the script PTStitcher hands over, so that PTmender alone can be timed on exactly that work.
cat >capture.sh <<EOF2
#!/bin/sh
for script; do :; done  # the last argument
cp "\$script" "$work/front_\$CAPTURE_AS.txt"
exec "$ptmender" "\$@"
EOF2
chmod +x capture.sh

tab=$'\t'
: >commands.txt
: >rows.txt
: >gain.txt
first=${modes%% *}
for m in $modes; do
  "$maker" stitch layers.pts "layers_$m.txt" "$m"
  "$maker" stitch big.pts "big_$m.txt" "$m"
  for job in layers big; do
    CAPTURE_AS="${job}_$m" PTMENDER="$PWD/capture.sh" "$stitcher" -o cap_out "${job}_$m.txt" >/dev/null
    rm -f cap_out*
  done
  if [[ $m == fast ]]; then label="with f0"; else label="without f0"; fi
  cat >>commands.txt <<EOF2
pm_layers_$m${tab}$ptmender -o pm_layers_$m front_layers_$m.txt
ps_layers_$m${tab}$stitcher -o ps_layers_$m layers_$m.txt
ps_jpeg_$m${tab}$stitcher -o ps_jpeg_$m big_$m.txt
EOF2
  cat >>rows.txt <<EOF2
TIFF_m 6000 × 2000, 6 full-canvas layers, $label${tab}ps_layers_$m${tab}PTmender alone on PTStitcher's script${tab}pm_layers_$m
EOF2
  # The front's own work (the flatten) does not depend on f0: its reference run and the run
  # with bitmaps on disk are timed with the first form only.
  if [[ $m == "$first" ]]; then
    cat >>commands.txt <<EOF2
pm_jpeg_$m${tab}$ptmender -o pm_jpeg_$m front_big_$m.txt
ps_disk_$m${tab}PTSTITCHER_ONDISK_BYTES=1 $stitcher -o ps_disk_$m big_$m.txt
EOF2
    cat >>rows.txt <<EOF2
JPEG 10000 × 5000, $label${tab}ps_jpeg_$m${tab}PTmender alone on PTStitcher's script (the layers)${tab}pm_jpeg_$m
JPEG (same), bitmaps on disk${tab}ps_disk_$m${tab}PTmender alone on PTStitcher's script (the layers)${tab}pm_jpeg_$m
EOF2
  else
    printf 'JPEG 10000 × 5000, %s\tps_jpeg_%s\t\t-\n' "$label" "$m" >>rows.txt
  fi
done
if [[ " $modes " == *" fast "* && " $modes " == *" exact "* ]]; then
  cat >>gain.txt <<EOF2
TIFF_m 6000 × 2000, PTStitcher${tab}ps_layers_fast${tab}without f0${tab}ps_layers_exact
JPEG 10000 × 5000, PTStitcher${tab}ps_jpeg_fast${tab}without f0${tab}ps_jpeg_exact
TIFF_m 6000 × 2000, PTmender alone${tab}pm_layers_fast${tab}without f0${tab}pm_layers_exact
EOF2
fi

python3 "$timeproc" "$rounds" commands.txt >results.txt

{
  echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)),"
  echo "shared with other engineers' builds. $(python3 "$timeproc" load results.txt)"
  echo "Medians of $rounds interleaved rounds; script forms: $modes;"
  echo "PTmender $(dpkg-query -W -f '${Version}' libpano13-bin 2>/dev/null || echo '(version unknown)'), single-threaded as installed; PTStitcher's own work on one thread."
  other=""
  [[ -z "${PTSTITCHER:-}" ]] || other="PTSTITCHER=$PTSTITCHER "
  echo "Command: \`${other}FAST_TRANSFORM=\"$modes\" bench/ptstitcher_bench.sh$readme_flag $rounds\`"
  echo
  python3 "$timeproc" table results.txt rows.txt PTStitcher
  if [[ -s gain.txt ]]; then
    echo
    echo "The fast transform's share (same runs): with f0 against without."
    echo
    python3 "$timeproc" table results.txt gain.txt "with f0"
  fi
} >result.md
cat result.md
[[ -z "${KEEP_RESULTS:-}" ]] || cp results.txt commands.txt front_*.txt layers_*.txt big_*.txt "$KEEP_RESULTS"/

bench_readme ptstitcher-bench result.md
