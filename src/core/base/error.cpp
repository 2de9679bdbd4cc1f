// The implementation of error.h; its role and contract are stated there.

#include "core/base/error.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace vesk {

RunnerError RunnerError::timeout(std::uint64_t ms) {
  RunnerError e;
  e.kind = RunnerErrorKind::Timeout;
  e.timeout_ms = ms;
  return e;
}

RunnerError RunnerError::crash(std::optional<std::int32_t> code) {
  RunnerError e;
  e.kind = RunnerErrorKind::Crash;
  e.exit_code = code;
  return e;
}

RunnerError RunnerError::application(std::string text) {
  RunnerError e;
  e.kind = RunnerErrorKind::Application;
  e.text = std::move(text);
  return e;
}

RunnerError RunnerError::command_denied(std::string text) {
  RunnerError e;
  e.kind = RunnerErrorKind::CommandDenied;
  e.text = std::move(text);
  return e;
}

RunnerError RunnerError::cancelled() {
  RunnerError e;
  e.kind = RunnerErrorKind::Cancelled;
  return e;
}

std::string RunnerError::message() const {
  switch (kind) {
    case RunnerErrorKind::Timeout:
      return "execution timed out after " + std::to_string(timeout_ms) + "ms";
    case RunnerErrorKind::Crash: {
      std::string code = exit_code ? "Some(" + std::to_string(*exit_code) + ")" : "None";
      return "sandbox process exited unexpectedly (exit code: " + code + ")";
    }
    case RunnerErrorKind::Cancelled:
      return "execution cancelled";
    case RunnerErrorKind::Application:
    case RunnerErrorKind::CommandDenied:
      return text;
  }
  return text;
}

Error Error::message(std::string message) { return Error(Kind::Message, std::move(message)); }

Error Error::os(int errnum) {
  Error e(Kind::Os, os_error_message(errnum));
  e.errno_ = errnum;
  return e;
}

Error Error::last_os_error() { return os(errno); }

Error Error::runner(RunnerError error) {
  Error e(Kind::Runner, error.message());
  e.runner_ = std::move(error);
  return e;
}

Error Error::internal(std::string what) { return Error(Kind::Internal, std::move(what)); }

namespace {
const std::string& no_text() {
  static const std::string* const empty = new std::string();
  return *empty;
}
}  // namespace

const std::string& Error::partial_stdout() const {
  return partial_ ? partial_->stdout_text : no_text();
}

const std::string& Error::partial_stderr() const {
  return partial_ ? partial_->stderr_text : no_text();
}

Error& Error::with_partial_output(std::string stdout_text, std::string stderr_text) {
  if (stdout_text.empty() && stderr_text.empty()) {
    partial_.reset();
  } else {
    partial_ = std::make_shared<const PartialOutput>(
        PartialOutput{std::move(stdout_text), std::move(stderr_text)});
  }
  return *this;
}

std::string os_error_message(int errnum) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

Error error_from_current_exception() {
  // Short texts fit the string's inline buffer, so building them cannot fail
  // even when memory is exhausted.
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return Error::internal("out of memory");
  } catch (const std::exception& e) {
    try {
      return Error::internal(std::string("internal fault: ") + e.what());
    } catch (...) {
      return Error::internal("internal fault");
    }
  } catch (...) {
    return Error::internal("internal fault");
  }
}

}  // namespace vesk
