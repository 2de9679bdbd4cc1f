# Bundles the web view's modules (ui/main.ts and what it imports) into one
# script for the browser with Deno's bundler, and copies the page and its
# style sheet beside it: OUTPUT_DIR then holds the three files the server
# serves at /ui/ (index.html, app.js, style.css).
#
# Usage: cmake -DDENO=deno -DSOURCE_DIR=repo -DOUTPUT_DIR=dir -DDENO_DIR=dir
#              -P bundle_ui.cmake
#
# The page may import nothing but its own modules: no package, no remote
# module (--no-npm, --no-remote), so what the browser runs is all in ui/.
set(ENV{DENO_DIR} "${DENO_DIR}")
set(ENV{NO_COLOR} "1")
file(MAKE_DIRECTORY "${OUTPUT_DIR}")
set(staging "${OUTPUT_DIR}/app.js.staging")
execute_process(
  COMMAND "${DENO}" bundle --quiet --no-config --no-lock --no-remote --no-npm --platform browser
          --format esm -o "${staging}" ui/main.ts
  WORKING_DIRECTORY "${SOURCE_DIR}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT EXISTS "${staging}")
  message(FATAL_ERROR "bundling the web view failed (${DENO} bundle, exit ${status}):\n${out}${err}")
endif()
file(COPY_FILE "${staging}" "${OUTPUT_DIR}/app.js" ONLY_IF_DIFFERENT)
file(REMOVE "${staging}")
foreach(name index.html style.css)
  file(COPY_FILE "${SOURCE_DIR}/ui/${name}" "${OUTPUT_DIR}/${name}" ONLY_IF_DIFFERENT)
endforeach()
