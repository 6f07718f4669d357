#!/bin/sh
# Builds the programs without optimisation and checks that they write the same
# bytes as the release build for every shipped example: the tables must not
# depend on the build type.
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
  for build in release debug; do
    [ "$build" = release ] && bin=$release || bin=$work/debug
    mkdir -p "$work/$build-$prog"
    cp "$src/examples/$prog.setup" "$work/$build-$prog/"
    # a complete run ends with status 1
    (cd "$work/$build-$prog" && "$bin/$prog/orb$prog" "$prog.setup" > stdout) || [ $? -eq 1 ]
  done
  n=$(ls "$work/release-$prog" | wc -l)
  if diff -r "$work/release-$prog" "$work/debug-$prog" >/dev/null; then
    echo "$prog: $n files, release and debug identical"
  else
    echo "$prog: release and debug differ:"; diff -rq "$work/release-$prog" "$work/debug-$prog" | head
    status=1
  fi
done
exit $status
