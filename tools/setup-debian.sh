#!/bin/sh
# Installs from Debian (12) whatever orbkit needs and is missing; does nothing when
# everything is there. Used by both README commands and by .ci/run.
#
#   sh tools/setup-debian.sh          what the programs and orbplot need
#   sh tools/setup-debian.sh test     that, and what the test suite needs
#   sh tools/setup-debian.sh check    that, and clang for the sanitised build and the fuzz target
#   sh tools/setup-debian.sh docs     what the programs need, and what builds the documentation
#                                     site and opens it in a browser (the test docs)
#
# A need is a Debian package name; add yours to the list of its group.
set -eu

# building the programs and the Python module, drawing with tools/orbplot (make: cmake
# only recommends it)
run_packages="g++ make cmake python3 python3-numpy python3-matplotlib pybind11-dev python3-dev"
# pip install of the module into a venv (README): pip, venv and the build backend from Debian
run_packages="$run_packages python3-pip python3-venv python3-setuptools python3-wheel"
# tqdm: the progress bar of the module's long calls (optional: without it there is none)
run_packages="$run_packages python3-tqdm"
# the test suite, on top of the above
# Open MPI: the surveys under mpirun; dpkg-dev: the Debian package's library dependencies
test_packages="libgtest-dev python3-pytest openmpi-bin libopenmpi-dev dpkg-dev"
# cpack's Debian generator reads the programs' types with file(1)
test_packages="$test_packages file"
test_packages="$test_packages python3-galpy"  # the module's forces against galpy's (docs/galpy.md)
# independent values for the module's orbit quantities: 30-digit quadrature, root finding
test_packages="$test_packages python3-mpmath python3-scipy"
# the checking build of CI: clang, its sanitiser and libFuzzer runtimes, its OpenMP
check_packages="clang libclang-rt-14-dev libomp-dev"
# the documentation site: Sphinx, its API and gallery extensions, its theme, Markdown pages,
# and Chromium for the test that opens the built site
docs_packages="python3-sphinx python3-numpydoc python3-sphinx-gallery furo python3-myst-parser chromium"
# the formulas, rendered in the built site without a network
docs_packages="$docs_packages libjs-katex"

case "${1:-run}" in
  run) wanted=$run_packages ;;
  test) wanted="$run_packages $test_packages" ;;
  check) wanted="$run_packages $test_packages $check_packages" ;;
  docs) wanted="$run_packages $docs_packages" ;;
  *) echo "usage: sh tools/setup-debian.sh [run|test|check|docs]" >&2; exit 2 ;;
esac

missing=""
for p in $wanted; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then
  as_root=""
elif command -v sudo >/dev/null; then
  as_root=sudo
else
  echo "setup-debian.sh: missing:$missing; install them as root: apt-get install$missing" >&2
  exit 1
fi
echo "setup-debian.sh: installing$missing"
$as_root apt-get update -qq
# shellcheck disable=SC2086  # one word per package
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
echo "setup-debian.sh: installed$missing"
