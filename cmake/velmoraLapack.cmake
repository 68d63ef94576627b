# Defines velmora::lapack, the LAPACK (dgesvd) that the core links, and sets
# velmora_LAPACK_FOUND. The build includes this file and so does the installed
# package config, so a consumer finds the libraries on its own machine: the
# exported targets name velmora::lapack, never a path of the machine that
# built the package.
#
# The threaded OpenBLAS starts a thread pool as soon as it is loaded, and the
# Python module must start no threads; a fit of an n x 3 matrix gains nothing
# from threads anyway. So Debian's serial build is linked statically where it
# exists (libopenblas-serial-dev), with the gfortran runtime it needs.
if(TARGET velmora::lapack)
  set(velmora_LAPACK_FOUND TRUE)
  return()
endif()

find_library(VELMORA_OPENBLAS_SERIAL NAMES libopenblas.a
  PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/openblas-serial NO_DEFAULT_PATH)
find_library(VELMORA_GFORTRAN NAMES gfortran libgfortran.so.5)
if(VELMORA_OPENBLAS_SERIAL AND VELMORA_GFORTRAN)
  add_library(velmora::lapack INTERFACE IMPORTED)
  set_target_properties(velmora::lapack PROPERTIES
    INTERFACE_LINK_LIBRARIES "${VELMORA_OPENBLAS_SERIAL};${VELMORA_GFORTRAN}")
  set(velmora_LAPACK_FOUND TRUE)
  return()
endif()

set(BLA_VENDOR OpenBLAS)
find_package(LAPACK QUIET)
if(LAPACK_FOUND)
  add_library(velmora::lapack INTERFACE IMPORTED)
  set_target_properties(velmora::lapack PROPERTIES INTERFACE_LINK_LIBRARIES LAPACK::LAPACK)
  set(velmora_LAPACK_FOUND TRUE)
else()
  set(velmora_LAPACK_FOUND FALSE)
endif()
