# Build options live on one INTERFACE target that each of our targets links explicitly,
# so nothing leaks into CMAKE_CXX_FLAGS and third-party code is compiled untouched.
#
#   -DDEMOCOMM_SANITIZE=address,undefined   ASan + UBSan
#   -DDEMOCOMM_SANITIZE=thread              TSan
#   -DDEMOCOMM_SANITIZE=fuzzer              libFuzzer coverage + ASan/UBSan (clang only);
#                                           also builds the targets in fuzz/
# Warnings are errors when the CI environment variable is set (as CI does).

set(DEMOCOMM_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, 'address,undefined' or 'thread'")
set_property(CACHE DEMOCOMM_SANITIZE PROPERTY STRINGS "" "address,undefined" "thread" "fuzzer")

add_library(democomm_options INTERFACE)
target_compile_options(democomm_options INTERFACE -Wall -Wextra)
if(DEFINED ENV{CI} AND NOT "$ENV{CI}" STREQUAL "" AND NOT "$ENV{CI}" STREQUAL "false")
  target_compile_options(democomm_options INTERFACE -Werror)
endif()

if(DEMOCOMM_SANITIZE STREQUAL "address,undefined")
  target_compile_options(democomm_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(democomm_options INTERFACE -fsanitize=address,undefined)
  # The sanitizers' instrumentation makes GCC's flow analysis see uninitialised reads that
  # are not there (inside libstdc++'s std::regex, for one); the plain build keeps the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(democomm_options INTERFACE -Wno-maybe-uninitialized)
  endif()
elseif(DEMOCOMM_SANITIZE STREQUAL "thread")
  target_compile_options(democomm_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(democomm_options INTERFACE -fsanitize=thread)
  # Code that only exists to make an order visible to the thread sanitizer checks for this.
  target_compile_definitions(democomm_options INTERFACE DEMOCOMM_TSAN)
elseif(DEMOCOMM_SANITIZE STREQUAL "fuzzer")
  # Coverage for libFuzzer plus ASan/UBSan; the fuzz targets add -fsanitize=fuzzer at link.
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz configuration needs clang (CXX=clang++)")
  endif()
  target_compile_options(democomm_options INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(democomm_options INTERFACE -fsanitize=address,undefined)
elseif(NOT DEMOCOMM_SANITIZE STREQUAL "")
  message(FATAL_ERROR "DEMOCOMM_SANITIZE must be empty, 'address,undefined', 'thread' or 'fuzzer'")
endif()
