# OpenSSL libcrypto (SHA-256, HMAC) and zlib (crc32).
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(ZLIB REQUIRED)

# BLAKE3: prefer an installed libblake3; otherwise compile the reference C
# sources from wherever they are installed (Debian ships them in the Rust
# crate package librust-blake3-dev), never from a copy inside this tree.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBBLAKE3 QUIET IMPORTED_TARGET libblake3)
endif()

if(LIBBLAKE3_FOUND)
  add_library(corvane_blake3 INTERFACE)
  target_link_libraries(corvane_blake3 INTERFACE PkgConfig::LIBBLAKE3)
  message(STATUS "BLAKE3: system libblake3 ${LIBBLAKE3_VERSION}")
else()
  if(NOT CORVANE_BLAKE3_C_DIR)
    file(GLOB _blake3_candidates LIST_DIRECTORIES true
         /usr/share/cargo/registry/blake3-*/c
         /usr/local/share/cargo/registry/blake3-*/c)
    list(SORT _blake3_candidates COMPARE NATURAL ORDER DESCENDING)
    foreach(_dir IN LISTS _blake3_candidates)
      if(EXISTS "${_dir}/blake3.c")
        set(CORVANE_BLAKE3_C_DIR "${_dir}" CACHE PATH "" FORCE)
        break()
      endif()
    endforeach()
  endif()
  if(NOT EXISTS "${CORVANE_BLAKE3_C_DIR}/blake3.c")
    message(FATAL_ERROR
      "BLAKE3 not found: install libblake3, or Debian's librust-blake3-dev, "
      "or set CORVANE_BLAKE3_C_DIR to the reference C sources")
  endif()
  message(STATUS "BLAKE3: reference C sources in ${CORVANE_BLAKE3_C_DIR}")
  set(_b3 "${CORVANE_BLAKE3_C_DIR}")
  set(_b3_sources ${_b3}/blake3.c ${_b3}/blake3_dispatch.c ${_b3}/blake3_portable.c)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND UNIX AND NOT APPLE
     AND EXISTS "${_b3}/blake3_avx512_x86-64_unix.S")
    enable_language(ASM)
    list(APPEND _b3_sources
         ${_b3}/blake3_sse2_x86-64_unix.S ${_b3}/blake3_sse41_x86-64_unix.S
         ${_b3}/blake3_avx2_x86-64_unix.S ${_b3}/blake3_avx512_x86-64_unix.S)
    set(_b3_defs)
  else()
    set(_b3_defs BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
  endif()
  add_library(corvane_blake3 STATIC ${_b3_sources})
  target_include_directories(corvane_blake3 SYSTEM PUBLIC "${_b3}")
  target_compile_definitions(corvane_blake3 PRIVATE ${_b3_defs})
  set_target_properties(corvane_blake3 PROPERTIES C_STANDARD 99)
endif()

if(CORVANE_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
