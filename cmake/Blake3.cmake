# BLAKE3: the official C implementation with its x86-64 SIMD kernels and runtime dispatch.
file(GLOB _blake3_dirs /usr/share/cargo/registry/blake3-*/c)
if(NOT _blake3_dirs)
  message(FATAL_ERROR "BLAKE3 C sources not found; install librust-blake3-dev")
endif()
list(GET _blake3_dirs -1 SHREDDER_BLAKE3_DIR)
add_library(shredder_blake3 STATIC
  ${SHREDDER_BLAKE3_DIR}/blake3.c
  ${SHREDDER_BLAKE3_DIR}/blake3_dispatch.c
  ${SHREDDER_BLAKE3_DIR}/blake3_portable.c
  ${SHREDDER_BLAKE3_DIR}/blake3_sse2_x86-64_unix.S
  ${SHREDDER_BLAKE3_DIR}/blake3_sse41_x86-64_unix.S
  ${SHREDDER_BLAKE3_DIR}/blake3_avx2_x86-64_unix.S
  ${SHREDDER_BLAKE3_DIR}/blake3_avx512_x86-64_unix.S)
target_include_directories(shredder_blake3 SYSTEM PUBLIC ${SHREDDER_BLAKE3_DIR})
set_target_properties(shredder_blake3 PROPERTIES C_VISIBILITY_PRESET hidden)
add_library(shredder::blake3 ALIAS shredder_blake3)
