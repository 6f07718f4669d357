#!/bin/sh
# Times orbmigrate on a 200-star survey with one and with two threads, in one run,
# checks that both write the same bytes, and prints the speed-up. Each count runs
# five times, alternating, and the fastest run of each counts: on a shared machine
# the minimum is the time least disturbed by others.
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
  rm -rf "$work/t$1" && mkdir -p "$work/t$1" && cp "$work/bench.setup" "$work/t$1/"
  start=$(date +%s.%N)
  (cd "$work/t$1" && OMP_NUM_THREADS=$1 "$bin" bench.setup > stdout) || [ $? -eq 1 ]
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
t1=999
t2=999
for _ in 1 2 3 4 5; do
  t1=$(echo "a = $(run 1); if (a < $t1) a else $t1" | bc -l)
  t2=$(echo "a = $(run 2); if (a < $t2) a else $t2" | bc -l)
done
diff -r "$work/t1" "$work/t2" >/dev/null || { echo "1 and 2 threads wrote different files"; exit 1; }
printf '200 stars: 1 thread %.2f s, 2 threads %.2f s, speed-up %.2f (%s orbit files)\n' \
  "$t1" "$t2" "$(echo "$t1 / $t2" | bc -l)" "$(ls "$work/t2" | grep -c '\.bb$')"
