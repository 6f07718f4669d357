# cpack -G DEB (in the build folder): one Debian package of everything cmake --install
# installs, under /usr. Its dependencies are Debian's package names: those of the
# shared libraries the programs and the module load, as dpkg-shlibdeps (Debian:
# dpkg-dev) finds them (libc6, libstdc++6, libgomp1, and libopenmpi3 when built with MPI),
# and the interpreter and the Python packages the module and orbplot import.
set(CPACK_PACKAGE_NAME orbkit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "test-star orbits in a galactic disc with growing spiral waves")
set(CPACK_PACKAGE_DESCRIPTION
  "Programs that follow test-star orbits in a two-dimensional galactic disc with growing
spiral patterns (orbmigrate, orbtwin, orbspread), the plotting tool orbplot, the Python
module orbkit, and the core as a static C++ library with its headers and a CMake
package (find_package(orbkit)).")
set(ORBKIT_PACKAGE_CONTACT "orbkit developers" CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGE_CONTACT "${ORBKIT_PACKAGE_CONTACT}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# BSD 3-Clause: the package's /usr/share/doc/orbkit/copyright comes from the install rules
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(deb_depends "")
else()
  # the same libraries named by hand, without their least versions
  set(deb_depends libc6 libgcc-s1 libstdc++6 libgomp1)
  if(MPI_CXX_FOUND)
    list(APPEND deb_depends libopenmpi3)
  endif()
endif()
if(TARGET _orbkit)
  # the module is built for one interpreter version
  math(EXPR next_minor "${Python_VERSION_MINOR} + 1")
  list(APPEND deb_depends
    "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}~)"
    "python3 (<< ${Python_VERSION_MAJOR}.${next_minor})"
    python3-numpy python3-matplotlib)
endif()
list(JOIN deb_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(deb_recommends "")
if(MPI_CXX_FOUND)
  list(APPEND deb_recommends openmpi-bin)  # mpirun
endif()
if(TARGET _orbkit)
  list(APPEND deb_recommends python3-tqdm)  # the module's progress bars
endif()
list(JOIN deb_recommends ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS)
# what a C++ user of the library builds with
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "g++, cmake")
include(CPack)
