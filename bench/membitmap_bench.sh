#!/usr/bin/env bash
# Image buffers benchmark: the memory bitmap's JPEG and TIFF input and output, the crop
# pre-pass job, rotation and zoom-out on one photograph-like 6000 x 4000 picture, each as a
# whole process (bench_membitmap) against djpeg (libjpeg-turbo), libvips and ImageMagick
# doing the same work on the same files into the same output format (PackBits TIFF).
#
#   bench/membitmap_bench.sh [--update-readme] [rounds]
#
# Builds bench_membitmap in Release (no sanitizers) in $BUILD_DIR (default build-bench),
# installs the peer programs when they are missing, generates the picture in $BENCH_DIR
# (default a fresh directory under /dev/shm or $TMPDIR; never in the source tree), runs all
# commands interleaved for `rounds` rounds (default 5) after one untimed round, and prints a
# Markdown table of the medians. Ours runs on one thread; every peer runs once with one
# thread and once with two. With --update-readme the table replaces the one in
# bench/README.md between the membitmap-bench markers.
source "$(dirname "$0")/common.sh"
bench_args 5 "$@"
rounds=$runs

# Peers (benchmark only).
missing=()
command -v vips >/dev/null || missing+=(libvips-tools)
[[ -x /usr/bin/convert ]] || missing+=(imagemagick)
command -v djpeg >/dev/null || missing+=(libjpeg-turbo-progs)
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

bench_build bench_membitmap
ours="$root/$build_dir/bench/bench_membitmap"

if [[ -d /dev/shm && -w /dev/shm ]]; then base=/dev/shm; else base="${TMPDIR:-/tmp}"; fi
work="${BENCH_DIR:-$(mktemp -d "$base/qb_membitmap_bench.XXXXXX")}"
cleanup() { [[ -n "${BENCH_DIR:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

[[ -f photo.jpg && -f photo.tif ]] || "$ours" generate "$work"

# The same crop window on both sides: 4000 x 3000 from (1000, 500), with an opaque alpha.
crop="1000 500 4000 3000"
# vips with n worker threads; ImageMagick likewise.
v() { echo "VIPS_CONCURRENCY=$1 vips"; }
im() { echo "MAGICK_THREAD_LIMIT=$1 /usr/bin/convert"; }
{
  printf 'ours_decode_jpg\t%s decode photo.jpg\n' "$ours"
  printf 'djpeg\tdjpeg -outfile /dev/null photo.jpg\n'
  printf 'ours_decode_tif\t%s decode photo.tif\n' "$ours"
  for n in 1 2; do printf 'vips_avg_%s\t%s avg photo.tif\n' $n "$(v $n)"; done
  printf 'ours_convert\t%s convert photo.jpg o_conv.tif\n' "$ours"
  for n in 1 2; do printf 'vips_copy_%s\t%s copy photo.jpg v_conv.tif[compression=packbits]\n' $n "$(v $n)"; done
  printf 'ours_crop\t%s crop photo.jpg o_crop.tif %s\n' "$ours" "$crop"
  for n in 1 2; do
    printf 'vips_crop_%s\t%s extract_area photo.jpg v_crop.v %s && %s bandjoin_const v_crop.v v_crop.tif[compression=packbits] 255\n' \
      $n "$(v $n)" "$crop" "$(v $n)"
    printf 'im_crop_%s\t%s photo.jpg -crop 4000x3000+1000+500 +repage -alpha set -compress RLE im_crop.tif\n' $n "$(im $n)"
  done
  printf 'ours_rot\t%s rotate photo.jpg o_rot.tif 90\n' "$ours"
  for n in 1 2; do printf 'vips_rot_%s\t%s rot photo.jpg v_rot.tif[compression=packbits] d90\n' $n "$(v $n)"; done
  printf 'ours_zoom\t%s zoomout photo.jpg o_zoom.tif 4\n' "$ours"
  for n in 1 2; do printf 'vips_reduce_%s\t%s reduce photo.jpg v_zoom.tif[compression=packbits] 4 4 --kernel linear\n' $n "$(v $n)"; done
} >commands.txt

python3 "$timeproc" --warmup "$rounds" commands.txt >results.txt

# Like for like: each pair of outputs has the same size and number of channels.
shape() { vipsheader -f width "$1"; vipsheader -f height "$1"; vipsheader -f bands "$1"; }
for pair in "o_conv.tif v_conv.tif" "o_crop.tif v_crop.tif" "o_crop.tif im_crop.tif" \
            "o_rot.tif v_rot.tif" "o_zoom.tif v_zoom.tif"; do
  set -- $pair
  if [[ "$(shape "$1" 2>/dev/null)" != "$(shape "$2" 2>/dev/null)" ]]; then
    echo "membitmap_bench: $1 and $2 differ in shape" >&2
    exit 1
  fi
done

tab=$'\t'
cat >rows.txt <<EOF2
JPEG decode${tab}ours_decode_jpg${tab}djpeg → /dev/null (floor)${tab}djpeg
TIFF decode (PackBits RGB)${tab}ours_decode_tif${tab}vips avg, 1 thread${tab}vips_avg_1
TIFF decode (PackBits RGB)${tab}ours_decode_tif${tab}vips avg, 2 threads${tab}vips_avg_2
JPEG → TIFF${tab}ours_convert${tab}vips copy, 1 thread${tab}vips_copy_1
JPEG → TIFF${tab}ours_convert${tab}vips copy, 2 threads${tab}vips_copy_2
crop job: JPEG → 4000 × 3000 RGBA TIFF${tab}ours_crop${tab}vips extract_area + bandjoin_const, 1 thread${tab}vips_crop_1
crop job (same)${tab}ours_crop${tab}vips extract_area + bandjoin_const, 2 threads${tab}vips_crop_2
crop job (same)${tab}ours_crop${tab}ImageMagick convert -crop, 1 thread${tab}im_crop_1
crop job (same)${tab}ours_crop${tab}ImageMagick convert -crop, 2 threads${tab}im_crop_2
rotate 90: JPEG → TIFF${tab}ours_rot${tab}vips rot d90, 1 thread${tab}vips_rot_1
rotate 90 (same)${tab}ours_rot${tab}vips rot d90, 2 threads${tab}vips_rot_2
zoom-out ×4, tent filter: JPEG → 1500 × 1000 TIFF${tab}ours_zoom${tab}vips reduce 4 4 --kernel linear, 1 thread${tab}vips_reduce_1
zoom-out ×4 (same)${tab}ours_zoom${tab}vips reduce 4 4 --kernel linear, 2 threads${tab}vips_reduce_2
EOF2

{
  echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)),"
  echo "shared with other engineers' builds. $(python3 "$timeproc" load results.txt)"
  echo "Medians of $rounds interleaved rounds after one untimed round; ours on 1 thread;"
  echo "$(vips --version), $(/usr/bin/convert --version | head -1 | cut -d' ' -f2-3), libjpeg-turbo $(djpeg -version 2>&1 | head -1 | awk '{print $3}')."
  echo "Command: \`bench/membitmap_bench.sh$readme_flag $rounds\`"
  echo
  python3 "$timeproc" table results.txt rows.txt
} >result.md
cat result.md
[[ -z "${KEEP_RESULTS:-}" ]] || cp results.txt commands.txt "$KEEP_RESULTS"/

bench_readme membitmap-bench result.md
