#!/bin/sh
# Runs every shipped example twice with the release build and once with an
# unoptimised build, and checks that all three runs write the same bytes: the
# tables depend on neither the run nor the build type.
# usage: debug_release.sh SOURCE_DIR RELEASE_BUILD_DIR
set -eu
src=$1
release=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$src" -B "$work/debug" -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/debug" -j2 >/dev/null
status=0
for prog in spread migrate twin; do
  for build in release again debug; do
    [ "$build" = debug ] && bin=$work/debug || bin=$release
    mkdir -p "$work/$build-$prog"
    cp "$src/examples/$prog.setup" "$work/$build-$prog/"
    # a complete run ends with status 1
    (cd "$work/$build-$prog" && "$bin/$prog/orb$prog" "$prog.setup" > stdout) || [ $? -eq 1 ]
  done
  n=$(ls "$work/release-$prog" | wc -l)
  for other in again debug; do
    if diff -r "$work/release-$prog" "$work/$other-$prog" >/dev/null; then
      echo "$prog: $n files, release and $other run identical"
    else
      echo "$prog: release and $other run differ:"; diff -rq "$work/release-$prog" "$work/$other-$prog" | head
      status=1
    fi
  done
done
exit $status
