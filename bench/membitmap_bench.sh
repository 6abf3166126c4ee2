#!/usr/bin/env bash
# Image buffers benchmark: the memory bitmap's JPEG and TIFF input and output, the crop
# pre-pass job, rotation and zoom-out on one photograph-like 6000 x 4000 picture, side by
# side with djpeg (libjpeg-turbo), libvips and ImageMagick doing the same work.
#
#   bench/membitmap_bench.sh [--update-readme] [reps]
#
# Builds bench_membitmap in Release (no sanitizers) in $BUILD_DIR (default
# build-bench-membitmap, a build directory of its own),
# installs the peer programs when they are missing, generates the picture in $BENCH_DIR
# (default a fresh directory under /dev/shm or $TMPDIR; never in the source tree), and
# prints a Markdown table of medians over `reps` runs (default 5). With --update-readme the
# table replaces the one in bench/README.md between the membitmap-bench markers.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

update_readme=0
if [[ "${1:-}" == "--update-readme" ]]; then
  update_readme=1
  shift
fi
reps="${1:-5}"
build_dir="${BUILD_DIR:-build-bench-membitmap}"

# Peers (benchmark only).
missing=()
command -v vips >/dev/null || missing+=(libvips-tools)
[[ -x /usr/bin/convert ]] || missing+=(imagemagick)
command -v djpeg >/dev/null || missing+=(libjpeg-turbo-progs)
[[ -x /usr/bin/time ]] || missing+=(time)
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_SANITIZE=OFF -DQB_BENCH=ON \
  -DQB_TESTS=OFF -DQB_ONLY="core;platform;components/MemBitmapIO" >/dev/null
cmake --build "$build_dir" --target bench_membitmap >/dev/null
bench="$root/$build_dir/bench/bench_membitmap"

if [[ -d /dev/shm && -w /dev/shm ]]; then base=/dev/shm; else base="${TMPDIR:-/tmp}"; fi
work="${BENCH_DIR:-$(mktemp -d "$base/qb_membitmap_bench.XXXXXX")}"
cleanup() { [[ -n "${BENCH_DIR:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

[[ -f photo.jpg && -f photo.tif ]] || "$bench" generate "$work"
[[ -f photo.v ]] || vips copy photo.tif photo.v 2>/dev/null

# Our cases: "<case> <wall> <cpu>" per line, once as built and once with the C library's
# allocations backed by 2 MiB pages (which only changes how fresh memory is obtained).
"$bench" run "$work" "$reps" >ours.txt
GLIBC_TUNABLES=glibc.malloc.hugetlb=1:glibc.malloc.mmap_threshold=33554432 \
  "$bench" run "$work" "$reps" >ours_thp.txt

# Median wall and processor (user + system, children included) seconds of a command.
peer() {
  local walls=() cpus=() line
  for ((i = 0; i < reps; ++i)); do
    /usr/bin/time -f "%e %U %S" -o time.txt sh -c "$1" >/dev/null 2>&1
    line=$(tail -1 time.txt)
    walls+=("$(awk '{print $1}' <<<"$line")")
    cpus+=("$(awk '{printf "%.2f", $2 + $3}' <<<"$line")")
  done
  echo "$(printf '%s\n' "${walls[@]}" | sort -g | sed -n "$((reps / 2 + 1))p")" \
       "$(printf '%s\n' "${cpus[@]}" | sort -g | sed -n "$((reps / 2 + 1))p")"
}

ours() { awk -v c="$1" '$1 == c {print $2, $3}' "$2"; }

row() {  # case label, our case, peer label, peer command
  local o t p
  o=$(ours "$2" ours.txt)
  t=$(ours "$2" ours_thp.txt)
  p=$(peer "$4")
  read -r ow oc <<<"$o"
  read -r tw tc <<<"$t"
  read -r pw pc <<<"$p"
  if [[ -z "$o" ]]; then
    echo "| $1 | | | | $3 | $pw | $pc | | | |"
    return
  fi
  awk -v label="$1" -v peer="$3" -v ow="$ow" -v oc="$oc" -v tc="$tc" -v pw="$pw" -v pc="$pc" 'BEGIN {
    printf "| %s | %.3f | %.3f | %.3f | %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n",
      label, ow, oc, tc, peer, pw, pc, ow / pw, oc / pc, tc / pc }'
}

own() {  # case label, our case: our figures only
  local o t
  o=$(ours "$2" ours.txt)
  t=$(ours "$2" ours_thp.txt)
  read -r ow oc <<<"$o"
  read -r tw tc <<<"$t"
  echo "| $1 | $ow | $oc | $tc | | | | | | |"
}

crop="1000 500 4000 3000"
{
  echo "| case | ours wall s | ours CPU s | ours CPU s, 2 MiB pages | peer | peer wall s | peer CPU s | ratio wall | ratio CPU | ratio CPU, 2 MiB pages |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  row "JPEG load" jpeg_load "djpeg" "djpeg -outfile /dev/null photo.jpg"
  row "TIFF load (PackBits RGB)" tiff_load "vips avg" "vips avg photo.tif"
  row "TIFF save (PackBits RGB)" tiff_save "vips copy .v → .tif" \
    "vips copy photo.v peer_out.tif[compression=packbits]"
  row "crop job: JPEG → 4000 × 3000 pf32bit → TIFF" crop_job "vips extract_area + bandjoin_const" \
    "vips extract_area photo.jpg peer_crop.v $crop && vips bandjoin_const peer_crop.v peer_crop.tif[compression=packbits] 255"
  row "crop job (same)" crop_job "ImageMagick convert -crop" \
    "/usr/bin/convert photo.jpg -crop 4000x3000+1000+500 +repage -alpha set -compress RLE peer_crop_im.tif"
  row "CreateRotatedCopy(90)" rotate90 "vips rot .v → .v" "vips rot photo.v peer_rot.v d90"
  row "CreateZoomedOutCopy(4, smooth)" zoomout4 "vips shrink .v → .v" "vips shrink photo.v peer_shrink.v 4 4"
  row "(reference) file handling alone" none "vips copy .v → .v" "vips copy photo.v peer_copy.v"
  own "(reference) ExtractCropFrom alone, 4000 × 3000 pf24bit → pf32bit" crop_only
  own "(reference) a new 6000 × 4000 pf24bit bitmap, written once" alloc_touch
} >table.md

{
  echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)),"
  echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg); medians of $reps runs;"
  echo "$(vips --version), $(/usr/bin/convert --version | head -1 | cut -d' ' -f2-3), libjpeg-turbo $(djpeg -version 2>&1 | head -1 | awk '{print $3}')."
  flag=""
  ((update_readme)) && flag=" --update-readme"
  echo "Command: \`BUILD_DIR=$build_dir bench/membitmap_bench.sh$flag $reps\`"
  echo
  cat table.md
} >result.md
cat result.md

if ((update_readme)); then
  python3 - "$root/bench/README.md" result.md <<'EOF'
import sys
readme, result = sys.argv[1], open(sys.argv[2]).read()
text = open(readme).read()
begin, end = "<!-- membitmap-bench:begin -->", "<!-- membitmap-bench:end -->"
head, rest = text.split(begin, 1)
_, tail = rest.split(end, 1)
open(readme, "w").write(head + begin + "\n" + result + end + tail)
EOF
fi
