# Warnings, the text encoding of the binary, and sanitizers.

# Sources are UTF-8; the program's own messages must be GBK bytes in the
# binary, because GBK is the program's text everywhere.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-finput-charset=UTF-8 -fexec-charset=GBK)
else()
  # Clang knows no other execution charset than UTF-8. It builds only the
  # fuzz targets, whose code compares no Chinese literal with package text.
  message(STATUS "${CMAKE_CXX_COMPILER_ID}: Chinese literals stay UTF-8 in this build")
endif()
add_compile_options(-Wall -Wextra)
if(KELVANE_WERROR)
  # The test runs keep the build warning-free: a new warning fails them.
  add_compile_options(-Werror)
endif()

if(KELVANE_SANITIZE)
  set(KELVANE_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
                              -fno-omit-frame-pointer)
  add_compile_options(${KELVANE_SANITIZER_FLAGS})
  add_link_options(${KELVANE_SANITIZER_FLAGS})
endif()

if(KELVANE_TSAN)
  # The download workers, the lookups and the job share the queue, the
  # connection tables and the job's counters: ThreadSanitizer checks the
  # locks that keep them apart.
  set(KELVANE_TSAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${KELVANE_TSAN_FLAGS})
  add_link_options(${KELVANE_TSAN_FLAGS})
endif()

if(WIN32)
  # Static linking (one .exe the seller can copy anywhere) is set by the toolchain file.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

if(KELVANE_FUZZ)
  # Coverage feedback from the whole core, not just the fuzz target.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # GCC 12 reports impossible overlaps inside std::string's operator+ at -O2
  # (GCC bug 105329): noise that would hide real warnings.
  add_compile_options(-Wno-restrict)
endif()
