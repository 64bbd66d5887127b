# Run as cmake -DMODULE_JS=... -DPAGE_DIR=... -DOUT_DIR=... -P assemble_page.cmake.
# The page loads one script: Emscripten's loader, then the page's own code, which calls it.
# The module's .wasm lies beside the loader under the same name.
cmake_minimum_required(VERSION 3.25)
foreach(variable MODULE_JS PAGE_DIR OUT_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "assemble_page.cmake needs -D${variable}=...")
  endif()
endforeach()

get_filename_component(module_dir ${MODULE_JS} DIRECTORY)
get_filename_component(module_name ${MODULE_JS} NAME_WE)
file(MAKE_DIRECTORY ${OUT_DIR})

file(READ ${MODULE_JS} loader)
file(READ ${PAGE_DIR}/draw.js page_script)
# Written beside and renamed into place, so a server reading the folder never sees half a file.
file(WRITE ${OUT_DIR}/velmorastra-web.js.part "${loader}\n${page_script}")
file(RENAME ${OUT_DIR}/velmorastra-web.js.part ${OUT_DIR}/velmorastra-web.js)

foreach(copy "${module_dir}/${module_name}.wasm;velmorastra-web.wasm"
             "${PAGE_DIR}/draw.html;draw.html" "${PAGE_DIR}/draw.css;draw.css")
  list(GET copy 0 from)
  list(GET copy 1 to)
  file(COPY_FILE ${from} ${OUT_DIR}/${to}.part)
  file(RENAME ${OUT_DIR}/${to}.part ${OUT_DIR}/${to})
endforeach()
