# The browser page from the native build: the same project configured again for WebAssembly
# with Emscripten in a folder of its own (build/web-build), its output put in build/web where
# the server finds it, and its tests (run under node) part of this build's ctest.

find_program(VELMO_EMXX em++)
find_program(VELMO_NODE NAMES node nodejs)
set(velmo_web_found OFF)
if(VELMO_EMXX AND VELMO_NODE)
  # em++ lies in Emscripten's own folder (through a link on Debian), beside its CMake files.
  file(REAL_PATH ${VELMO_EMXX} emxx_real)
  get_filename_component(emscripten_root ${emxx_real} DIRECTORY)
  find_file(VELMO_EMSCRIPTEN_TOOLCHAIN Emscripten.cmake
            PATHS ${emscripten_root}/cmake/Modules/Platform NO_DEFAULT_PATH)
  if(VELMO_EMSCRIPTEN_TOOLCHAIN)
    set(velmo_web_found ON)
  endif()
endif()
# Sanitizers and fuzzing do not reach into WebAssembly: such builds leave the page to a plain one.
set(velmo_web_default ${velmo_web_found})
if(VELMO_SANITIZE OR VELMO_FUZZ)
  set(velmo_web_default OFF)
endif()
option(VELMO_WEB "Build the browser page with Emscripten and run its tests under node"
       ${velmo_web_default})
if(NOT VELMO_WEB)
  if(NOT velmo_web_found)
    message(STATUS "No Emscripten (em++ and its toolchain file) or no node: no browser page")
  endif()
  return()
endif()
if(NOT velmo_web_found)
  message(FATAL_ERROR "VELMO_WEB needs Emscripten's em++ with its toolchain file, and node")
endif()

# Debian puts Emscripten's node helpers where node does not look by itself.
set(VELMO_WEB_NODE_PATH /usr/share/nodejs CACHE STRING "NODE_PATH for Emscripten's tools")
set(velmo_web_env ${CMAKE_COMMAND} -E env NODE_PATH=${VELMO_WEB_NODE_PATH})
set(velmo_web_build ${CMAKE_BINARY_DIR}/web-build)
cmake_host_system_information(RESULT velmo_web_jobs QUERY NUMBER_OF_LOGICAL_CORES)

include(ExternalProject)
# Always handed to the inner build, which itself knows what changed; a no-op build takes well
# under a second.
ExternalProject_Add(velmo_web
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${velmo_web_build}
  CONFIGURE_COMMAND ${velmo_web_env} ${CMAKE_COMMAND} -S <SOURCE_DIR> -B <BINARY_DIR>
    -G ${CMAKE_GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${VELMO_EMSCRIPTEN_TOOLCHAIN}
    -DCMAKE_BUILD_TYPE=Release
    -DVELMO_WERROR=${VELMO_WERROR}
    -DVELMO_WEB_OUTPUT_DIR=${CMAKE_BINARY_DIR}/web
  BUILD_COMMAND ${velmo_web_env} ${CMAKE_COMMAND} --build <BINARY_DIR> -j ${velmo_web_jobs}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_CONFIGURE ON
  USES_TERMINAL_BUILD ON)

# The WebAssembly tests as one test of this build: the inner ctest runs each test binary under
# node and prints the failing cases.
add_test(NAME wasm_core_tests
  COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${velmo_web_build} --output-on-failure
          --no-tests=error)
