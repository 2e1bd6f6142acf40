# Cross-build for 64-bit Windows with Debian's MinGW-w64 and run the results under Wine.
# Libraries come from the prefix that scripts/windows-deps fills:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKELVANE_WIN_DEPS=/path/to/prefix
# (or set KELVANE_WIN_DEPS in the environment).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kelvane_triplet x86_64-w64-mingw32)
# The -posix compilers give std::thread and std::mutex; the -win32 ones do not in GCC 12.
set(CMAKE_C_COMPILER ${_kelvane_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kelvane_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_kelvane_triplet}-windres)

# try_compile projects re-read this file in a fresh scope: hand the prefix on to them.
if(NOT KELVANE_WIN_DEPS AND DEFINED ENV{KELVANE_WIN_DEPS})
  set(KELVANE_WIN_DEPS "$ENV{KELVANE_WIN_DEPS}")
endif()
set(KELVANE_WIN_DEPS "${KELVANE_WIN_DEPS}" CACHE PATH "Prefix holding the Windows builds of the dependencies")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVANE_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${_kelvane_triplet})
if(KELVANE_WIN_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${KELVANE_WIN_DEPS}")
  list(APPEND CMAKE_PREFIX_PATH "${KELVANE_WIN_DEPS}")
endif()
# Build tools run on Linux; never pick up Linux headers or libraries by mistake.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no libstdc++/libgcc/winpthread DLLs to ship or to find under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest, gtest_discover_tests and try_run then run the .exe files under Wine.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run" ABSOLUTE)
