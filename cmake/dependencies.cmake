# Third-party libraries: Debian's packages on Linux, a prefix built from
# Debian's sources for Windows (scripts/windows-deps).

find_path(PCRE2_INCLUDE_DIR pcre2.h REQUIRED)
find_library(PCRE2_LIBRARY NAMES pcre2-8 pcre2-8-static REQUIRED)
add_library(kelvane_pcre2 INTERFACE)
target_include_directories(kelvane_pcre2 INTERFACE ${PCRE2_INCLUDE_DIR})
target_link_libraries(kelvane_pcre2 INTERFACE ${PCRE2_LIBRARY})
if(WIN32)
  target_compile_definitions(kelvane_pcre2 INTERFACE PCRE2_STATIC)
endif()

find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  find_path(NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp REQUIRED)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${NLOHMANN_JSON_INCLUDE_DIR})
endif()

find_package(Threads REQUIRED)

# TLS: OpenSSL on POSIX; Windows uses the system's Schannel and ships none.
if(NOT WIN32)
  find_package(OpenSSL 3 REQUIRED)
endif()

if(KELVANE_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
