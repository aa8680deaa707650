# Cross build of the Python module for 64-bit ARM boards (scripts/wheel
# aarch64): Debian's cross compiler, the target's Python headers from an
# aarch64 root (scripts/aarch64-sysroot), pybind11 from the building Python
# environment.
#   -DNORVANE_PYTHON_SYSROOT=DIR       the aarch64 root holding usr/include/python3.X
#   -DNORVANE_PYTHON_EXT_SUFFIX=SUFFIX the target interpreter's EXT_SUFFIX,
#                                      e.g. .cpython-311-aarch64-linux-gnu.so
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux-gnu.cmake)

# pybind11's CMake package is the building environment's (it is only CMake
# and headers); libraries and headers stay the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

if(NORVANE_PYTHON_SYSROOT)
  file(GLOB _norvane_python_include LIST_DIRECTORIES true "${NORVANE_PYTHON_SYSROOT}/usr/include/python3.*")
  list(LENGTH _norvane_python_include _norvane_count)
  if(NOT _norvane_count EQUAL 1)
    message(FATAL_ERROR "expected one usr/include/python3.X in ${NORVANE_PYTHON_SYSROOT}: ${_norvane_python_include}")
  endif()
  set(Python_INCLUDE_DIR "${_norvane_python_include}" CACHE PATH "The target's Python headers" FORCE)
  # Debian's pyconfig.h includes the architecture's own one from
  # usr/include/<triple>/python3.X; after every other include directory, so
  # that the cross compiler's C library headers come first.
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${NORVANE_PYTHON_SYSROOT}/usr/include")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${NORVANE_PYTHON_SYSROOT})
endif()

# The building interpreter is the host's: it must not name the module.
if(NORVANE_PYTHON_EXT_SUFFIX)
  set(PYTHON_MODULE_EXTENSION "${NORVANE_PYTHON_EXT_SUFFIX}")
  set(PYTHON_MODULE_DEBUG_POSTFIX "")
  set(PYTHON_IS_DEBUG OFF)
endif()
