# Bundles the runner's modules (runner/main.ts and everything it imports, the
# installer's Python source included) into the one script the module embeds,
# with Deno's bundler. Pyodide stays an import: Deno loads it from its cache
# when the runner starts, as the runner's permissions allow.
#
# Usage: cmake -DDENO=deno -DSOURCE_DIR=repo -DOUTPUT=runner.js -DDENO_DIR=dir
#              -P bundle_runner.cmake
#
# DENO_DIR is a cache of the build's own: the bundler fetches its compiler
# (esbuild, from the npm registry) there once, and nothing the build runs
# comes from the cache that runners read. The bundle names its modules by
# their paths from SOURCE_DIR, so every checkout of the same sources gives
# the same bytes (and so the same start snapshot key).
#
# Fails when the bundle draws on a file the build does not watch (anything
# but runner/*.ts and runner/*.py), since a change to it would leave what is
# embedded stale, and when it imports any package but the pinned Pyodide
# (runner/pyodide.ts), which is all the runner may read of Deno's cache.
set(runner_dir "${SOURCE_DIR}/runner")
set(staging "${OUTPUT}.staging.js")
set(ENV{DENO_DIR} "${DENO_DIR}")
set(ENV{NO_COLOR} "1")
execute_process(
  COMMAND "${DENO}" bundle --quiet --no-config --no-lock --no-remote --no-npm --platform deno
          --external npm:pyodide@314.0.8 --sourcemap=external -o "${staging}" runner/main.ts
  WORKING_DIRECTORY "${SOURCE_DIR}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT EXISTS "${staging}")
  message(FATAL_ERROR "bundling the runner script failed (${DENO} bundle, exit ${status}):\n${out}${err}")
endif()

# The source map lists every module in the bundle, relative to the map.
file(READ "${staging}.map" map)
string(JSON count LENGTH "${map}" sources)
math(EXPR last "${count} - 1")
get_filename_component(map_dir "${staging}" DIRECTORY)
foreach(i RANGE ${last})
  string(JSON source GET "${map}" sources ${i})
  cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${map_dir}" NORMALIZE OUTPUT_VARIABLE path)
  cmake_path(IS_PREFIX runner_dir "${path}" NORMALIZE inside)
  if(NOT inside OR NOT path MATCHES "\\.(ts|py)$")
    file(REMOVE "${staging}" "${staging}.map")
    message(FATAL_ERROR "the runner script draws on ${path}, which the build does not watch: "
                        "keep the runner's modules in runner/ as .ts and .py files")
  endif()
endforeach()

file(COPY_FILE "${staging}" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${staging}" "${staging}.map")
