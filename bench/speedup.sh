#!/bin/sh
# Times two builds of orbmigrate on the benchmark model (200 stars, 100 orbits, one
# thread), five runs each, alternating, and prints the fastest of each and their
# ratio; fails when the two write different bytes (files or standard output).
# usage: bench/speedup.sh OLD_BUILD_DIR [NEW_BUILD_DIR]   (default new: build)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
old=$(cd "$1" && pwd)/migrate/orbmigrate
new=$(cd "${2:-$here/build}" && pwd)/migrate/orbmigrate
for b in "$old" "$new"; do [ -x "$b" ] || { echo "$b: not built"; exit 2; }; done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() {  # binary folder -> CPU seconds of the run
  rm -rf "$work/$2" && mkdir -p "$work/$2" && cp "$here/bench/benchmark.setup" "$work/$2/"
  (cd "$work/$2" && OMP_NUM_THREADS=1 /usr/bin/time -f %U -o ../$2.time "$1" benchmark.setup > stdout) ||
    [ $? -eq 1 ]
  tail -n 1 "$work/$2.time"  # after the note of the exit status, 1 for a complete run
}
t_old=999
t_new=999
for _ in 1 2 3 4 5; do
  t_old=$(echo "a = $(run "$old" old); if (a < $t_old) a else $t_old" | bc -l)
  t_new=$(echo "a = $(run "$new" new); if (a < $t_new) a else $t_new" | bc -l)
done
diff -r "$work/old" "$work/new" >/dev/null || { echo "the two builds wrote different bytes"; exit 1; }
printf 'benchmark model, one thread, fastest of five: old %.2f s, new %.2f s, speed-up %.2f\n' \
  "$t_old" "$t_new" "$(echo "$t_old / $t_new" | bc -l)"
