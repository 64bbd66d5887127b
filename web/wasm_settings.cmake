# Settings of the WebAssembly build: the top-level project configured with Emscripten's
# toolchain file (web_build.cmake does that from the native build).

# WebAssembly's 128-bit SIMD behind Emscripten's SSE2 intrinsics, so the kernels' SSE2 paths
# build as they are. No threads: the page then needs no cross-origin isolation.
add_compile_options(-msimd128 -msse2)

# The test programs run under node. Node's own fetch would make the loader ask for the .wasm
# by URL, which fails for a file path; without it the loader reads the file.
find_program(VELMO_NODE NAMES node nodejs REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMO_NODE} --no-experimental-fetch)

set(VELMO_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest's sources, compiled here for WebAssembly")
set(VELMO_WEB_OUTPUT_DIR ${CMAKE_BINARY_DIR}/web-page CACHE PATH
    "Where the page, its one script and the module are put together")
