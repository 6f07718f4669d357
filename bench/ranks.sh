#!/bin/bash
# Times orbmigrate on the benchmark model (bench/benchmark.setup, 200 stars) as one
# process started without a launcher, and under mpirun with 1 rank and with 2 ranks,
# one thread each, in one run: five runs of each, alternating, and the fastest of
# each counts (on a shared machine the minimum is the time least disturbed by
# others). Checks that all write the same bytes, and prints the speed-ups (2 ranks
# over the process alone: the start-up of the job included) and the load balance of
# the fastest 2-rank run: the busiest rank's CPU time over the mean of the ranks'.
# Ranks are not bound to cores: on a machine shared with other work a bound rank
# could not move off a busy core.
# usage: bench/ranks.sh [BUILD_DIR]   (default: build; needs a build with MPI)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$here/build}" && pwd)/migrate/orbmigrate
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A complete run of several ranks ends with status 0; one of a single rank with 1,
# which mpirun treats as a failed job: it would wait before killing the rank.
export OMPI_MCA_odls_base_sigkill_timeout=0 OMP_NUM_THREADS=1
# On one machine the ranks talk through shared memory; Open MPI's default message
# layer first probes the network transports, about 0.25 s of start-up per job here.
export OMPI_MCA_pml=${OMPI_MCA_pml:-ob1}
[ "$(id -u)" = 0 ] && export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
run() {  # ranks -> seconds; each rank leaves its CPU time (user + system) in cpu.RANK
  rm -rf "$work/r$1" && mkdir -p "$work/r$1" && cp "$here/bench/benchmark.setup" "$work/r$1/"
  start=$(date +%s.%N)
  (cd "$work/r$1" && mpirun --bind-to none -np "$1" bash -c \
    '"$0" benchmark.setup > stdout.$OMPI_COMM_WORLD_RANK; s=$?; times > cpu.$OMPI_COMM_WORLD_RANK; exit $((s == 1 ? 0 : s))' \
    "$bin")
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
alone() {  # -> seconds; the program started by hand
  rm -rf "$work/a" && mkdir -p "$work/a" && cp "$here/bench/benchmark.setup" "$work/a/"
  start=$(date +%s.%N)
  (cd "$work/a" && { "$bin" benchmark.setup > stdout; [ $? = 1 ]; })
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
seconds() {  # "0m1.234s 0m0.010s" -> 1.244
  echo "$1" | sed -E 's/([0-9]+)m([0-9.]+)s/(\1*60+\2)/g; s/ /+/' | bc -l
}
t0=999
t1=999
t2=999
for _ in 1 2 3 4 5; do
  z=$(alone)
  if [ "$(echo "$z < $t0" | bc -l)" = 1 ]; then t0=$z; fi
  a=$(run 1)
  if [ "$(echo "$a < $t1" | bc -l)" = 1 ]; then
    t1=$a
    c=$(seconds "$(tail -1 "$work/r1/cpu.0")")
  fi
  b=$(run 2)
  if [ "$(echo "$b < $t2" | bc -l)" = 1 ]; then
    t2=$b
    rm -rf "$work/best" && cp -r "$work/r2" "$work/best"
  fi
done
mv "$work/r1/stdout.0" "$work/r1/stdout" && rm "$work/r1/cpu."*
mv "$work/best/stdout.0" "$work/best/stdout"
c0=$(seconds "$(tail -1 "$work/best/cpu.0")")
c1=$(seconds "$(tail -1 "$work/best/cpu.1")")
[ ! -s "$work/best/stdout.1" ] || { echo "rank 1 wrote on standard output"; exit 1; }
rm "$work/best/cpu."* "$work/best/stdout.1"
diff -r "$work/r1" "$work/best" >/dev/null || { echo "1 and 2 ranks wrote different files"; exit 1; }
diff -r "$work/a" "$work/r1" >/dev/null || { echo "the process alone and 1 rank wrote different files"; exit 1; }
printf '200 stars, one thread per rank: 1 rank %.2f s, 2 ranks %.2f s, speed-up %.2f\n' \
  "$t1" "$t2" "$(echo "$t1 / $t2" | bc -l)"
printf 'one process without mpirun %.2f s: 2 ranks are %.2f times as fast\n' "$t0" "$(echo "$t0 / $t2" | bc -l)"
printf 'load balance of the fastest 2-rank run: CPU %.2f s and %.2f s, busiest over mean %.3f\n' \
  "$c0" "$c1" "$(echo "m = ($c0 + $c1) / 2; if ($c0 > $c1) $c0 / m else $c1 / m" | bc -l)"
# what the speed-up would be with a core to each rank: the work of one rank over
# the busiest rank's share (on a loaded machine the times above are the others' too)
printf 'CPU of the fastest 1-rank run %.2f s, over the busiest rank of 2: %.2f\n' \
  "$c" "$(echo "if ($c0 > $c1) $c / $c0 else $c / $c1" | bc -l)"
