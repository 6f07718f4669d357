#!/bin/sh
# Times orbmigrate on a 200-star survey with one and with two threads, in one run,
# checks that both write the same bytes, and prints the speed-up.
# usage: bench/threads.sh [BUILD_DIR]   (default: build)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$here/build}/migrate/orbmigrate
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# the example's model, 200 stars, a window that saves a handful of orbits
sed -e 's/^400 .*/200      nstars/' -e 's/^0.5      l_min.*/0.8      l_min/' \
  "$here/examples/migrate.setup" > "$work/bench.setup"
run() {  # threads -> seconds
  mkdir -p "$work/t$1" && cp "$work/bench.setup" "$work/t$1/"
  start=$(date +%s.%N)
  (cd "$work/t$1" && OMP_NUM_THREADS=$1 "$bin" bench.setup > stdout) || [ $? -eq 1 ]
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
t1=$(run 1)
t2=$(run 2)
diff -r "$work/t1" "$work/t2" >/dev/null || { echo "1 and 2 threads wrote different files"; exit 1; }
printf '200 stars: 1 thread %.2f s, 2 threads %.2f s, speed-up %.2f (%s orbit files)\n' \
  "$t1" "$t2" "$(echo "$t1 / $t2" | bc -l)" "$(ls "$work/t2" | grep -c '\.bb$')"
