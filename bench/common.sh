# The common part of the benchmark scripts, sourced by them: the source tree's root as the
# current directory ($root), the build directory ($build_dir: $BUILD_DIR, default
# build-bench) and the timing program ($timeproc).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
build_dir="${BUILD_DIR:-build-bench}"
timeproc="$root/bench/timeproc.py"

# bench_args <default count> <the script's arguments>: a leading --update-readme sets
# update_readme to 1 (and readme_flag for the printed command); the next argument, or the
# default, is the number of runs ($runs).
bench_args() {
  local default=$1
  shift
  update_readme=0
  readme_flag=""
  if [[ "${1:-}" == "--update-readme" ]]; then
    update_readme=1
    readme_flag=" --update-readme"
    shift
  fi
  runs="${1:-$default}"
}

# bench_build <target>...: builds the targets in Release without sanitizers.
bench_build() {
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_SANITIZE=OFF -DQB_BENCH=ON \
    -DQB_TESTS=OFF >/dev/null
  cmake --build "$build_dir" --target "$@" >/dev/null
}

# bench_readme <marker> <text file>: with --update-readme, the text takes the place of what
# stands between the marker lines in bench/README.md.
bench_readme() {
  ((update_readme == 0)) || python3 "$timeproc" readme "$root/bench/README.md" "$1" "$2"
}
