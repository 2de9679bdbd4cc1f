// The runner script: the program that Deno runs to host Pyodide.
// Its sources are the modules in runner/; the build bundles them into one
// script (Pyodide stays an import) and embeds that here byte for byte.
#ifndef VESK_CORE_RUNNER_RUNNER_SCRIPT_H_
#define VESK_CORE_RUNNER_RUNNER_SCRIPT_H_

#include <string_view>

namespace vesk {

// The whole script text; static storage, valid for the life of the process.
std::string_view runner_script();

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_RUNNER_SCRIPT_H_
