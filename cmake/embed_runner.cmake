# Turns the runner script (the bundle of runner/) into a C++ source file
# holding its bytes.
# Usage: cmake -DINPUT=runner.js -DOUTPUT=runner_script.cpp -P embed_runner.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Break the initialiser into lines so that compilers and editors stay happy.
string(REGEX REPLACE "(('[^']*',){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated at build time from the runner script bundled from runner/; do not edit.
#include \"core/runner/runner_script.h\"

namespace vesk {
namespace {
constexpr char kBytes[] = {
${bytes}
'\\0'};
}  // namespace

std::string_view runner_script() { return std::string_view(kBytes, ${size}); }
}  // namespace vesk
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
