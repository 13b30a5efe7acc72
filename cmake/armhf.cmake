# Cross build for 32-bit Arm Linux, hard-float ABI, with Debian's
# arm-linux-gnueabihf toolchain. The toolchain brings its own C and C++
# libraries; only CPython's headers and GoogleTest's sources come from an armhf
# root file system (TAVRINMOSS_ARMHF_ROOT, a Debian root with python3.X-dev
# and libgtest-dev), so the build machine's own headers never enter.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# try_compile re-reads this file in a project of its own: pass the root on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVRINMOSS_ARMHF_ROOT TAVRINMOSS_ARMHF_PYTHON)
if(NOT TAVRINMOSS_ARMHF_ROOT)
  message(FATAL_ERROR "cmake/armhf.cmake needs -DTAVRINMOSS_ARMHF_ROOT=<armhf root file system>")
endif()
set(TAVRINMOSS_ARMHF_PYTHON 3.13 CACHE STRING "CPython version of the armhf root")

set(CMAKE_FIND_ROOT_PATH ${TAVRINMOSS_ARMHF_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No interpreter of the target runs at configure time: FindPython takes the
# headers and the extension suffix from here instead of asking one.
string(REPLACE "." "" _tavrinmoss_pyver ${TAVRINMOSS_ARMHF_PYTHON})
set(Python_INCLUDE_DIR ${TAVRINMOSS_ARMHF_ROOT}/usr/include/python${TAVRINMOSS_ARMHF_PYTHON}
    CACHE PATH "CPython headers of the armhf root")
set(Python_SOABI cpython-${_tavrinmoss_pyver}-${CMAKE_LIBRARY_ARCHITECTURE} CACHE STRING "armhf extension suffix")
set(TAVRINMOSS_GTEST_SOURCE ${TAVRINMOSS_ARMHF_ROOT}/usr/src/googletest CACHE PATH "GoogleTest sources to build")
