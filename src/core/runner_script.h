// The runner script: the TypeScript program that Deno runs to host Pyodide.
// Its source is runner/runner.ts; the build embeds it here byte for byte.
#ifndef VESK_CORE_RUNNER_SCRIPT_H_
#define VESK_CORE_RUNNER_SCRIPT_H_

#include <string_view>

namespace vesk {

// The whole script text; static storage, valid for the life of the process.
std::string_view runner_script();

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_SCRIPT_H_
