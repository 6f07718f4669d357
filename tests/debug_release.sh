#!/bin/sh
# Runs every shipped example twice with the release build and once with an
# unoptimised build, with each integrator, and checks that all three runs write the
# same bytes: the tables depend on neither the run nor the build type.
# usage: debug_release.sh SOURCE_DIR RELEASE_BUILD_DIR
set -eu
src=$1
release=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$src" -B "$work/debug" -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF >/dev/null
# the three programs alone: the module and the benchmarks print no table
cmake --build "$work/debug" -j2 --target orbspread orbmigrate orbtwin >/dev/null
status=0
# the default integrator, and the fast mode (its own arithmetic in vector lanes)
for mode in bs dop853; do
  for prog in spread migrate twin; do
    # the exact mode's release bytes of every example are pinned by the regression suite
    # (regress/example-*): a second release run adds nothing there
    [ $mode = bs ] && builds="release debug" || builds="release again debug"
    for build in $builds; do
      [ "$build" = debug ] && bin=$work/debug || bin=$release
      run=$work/$mode-$build-$prog
      mkdir -p "$run"
      cp "$src/examples/$prog.setup" "$run/"
      # a complete run ends with status 1
      (cd "$run" && "$bin/$prog/orb$prog" --integrator $mode "$prog.setup" > stdout) || [ $? -eq 1 ]
    done
    n=$(ls "$work/$mode-release-$prog" | wc -l)
    for other in $builds; do
      [ "$other" = release ] && continue
      if diff -r "$work/$mode-release-$prog" "$work/$mode-$other-$prog" >/dev/null; then
        echo "$prog --integrator $mode: $n files, release and $other run identical"
      else
        echo "$prog --integrator $mode: release and $other run differ:"
        diff -rq "$work/$mode-release-$prog" "$work/$mode-$other-$prog" | head
        status=1
      fi
    done
  done
done
exit $status
