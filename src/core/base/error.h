// Error values of the core.
//
// Every fallible operation returns Result<T> (std::expected<T, Error>); no
// exception ever leaves an operation. An Error carries exactly one UTF-8
// message, the only part the host ever sees, plus the typed origin it was made
// from, so that a caller can ask whether it is a RunnerError and of which kind.
// Messages are never wrapped in context: the text of the failure is the text
// of the error.
//
// A failed run may also carry what it cost: the output captured before it
// failed, and whether the interpreter's state was lost with it. Both are
// extras beside the message, never part of it; an error without them costs
// one null pointer and a flag.
//
// Errors are plain values: copyable, movable and safe to hand between threads.
#ifndef VESK_CORE_BASE_ERROR_H_
#define VESK_CORE_BASE_ERROR_H_

#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace vesk {

// The conditions around running foreign code that callers may tell apart.
// Cancelled: the caller's cancel descriptor stopped the run, as a time-out
// would have.
enum class RunnerErrorKind { Timeout, Crash, Application, CommandDenied, Cancelled };

struct RunnerError {
  RunnerErrorKind kind = RunnerErrorKind::Application;
  // Timeout: the limit that expired, in milliseconds.
  std::uint64_t timeout_ms = 0;
  // Crash: the exit status of a process that exited normally; empty when it
  // was ended by a signal or its status was not known yet.
  std::optional<std::int32_t> exit_code;
  // Application and CommandDenied: the text, shown unchanged.
  std::string text;

  static RunnerError timeout(std::uint64_t ms);
  static RunnerError crash(std::optional<std::int32_t> code);
  static RunnerError application(std::string text);
  static RunnerError command_denied(std::string text);
  static RunnerError cancelled();

  // The display text: "execution timed out after 60000ms", "execution cancelled",
  // "sandbox process exited unexpectedly (exit code: Some(1))", or the text.
  std::string message() const;
};

class Error {
 public:
  enum class Kind {
    Message,   // a plain formatted text
    Os,        // an operating-system error code
    Runner,    // one of the RunnerError kinds
    Internal,  // a condition the core treats as impossible (no thread, no memory)
  };

  // A plain error whose message is `message`.
  static Error message(std::string message);
  // "{description} (os error {number})" with the platform's description.
  static Error os(int errnum);
  // The current errno as an Os error.
  static Error last_os_error();
  static Error runner(RunnerError error);
  // A fault that no caller can handle; the binding abandons the session.
  static Error internal(std::string what);

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The RunnerError this error was made from, or nullptr.
  const RunnerError* runner_error() const {
    return runner_ ? &*runner_ : nullptr;
  }
  // The errno of an Os error, 0 otherwise.
  int os_errno() const { return errno_; }
  bool is_internal() const { return kind_ == Kind::Internal; }
  bool is_runner(RunnerErrorKind kind) const {
    return runner_ && runner_->kind == kind;
  }

  // The output a failed run printed before it failed ("" when none or not a
  // run), as text.
  const std::string& partial_stdout() const;
  const std::string& partial_stderr() const;
  // Sets the partial output; empty texts allocate nothing.
  Error& with_partial_output(std::string stdout_text, std::string stderr_text);
  // True when the interpreter's state (variables, imports) was lost: the
  // runner was killed, died or was replaced.
  bool interpreter_reset() const { return interpreter_reset_; }
  Error& set_interpreter_reset(bool reset = true) {
    interpreter_reset_ = reset;
    return *this;
  }

 private:
  struct PartialOutput {
    std::string stdout_text;
    std::string stderr_text;
  };

  Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
  std::optional<RunnerError> runner_;
  int errno_ = 0;
  bool interpreter_reset_ = false;
  // Shared, immutable once set: copies of the error stay cheap.
  std::shared_ptr<const PartialOutput> partial_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// "{description} (os error {number})", e.g. "No such file or directory (os error 2)".
std::string os_error_message(int errnum);

// Shorthand for returning an error from a function that returns Result<T>.
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }
inline std::unexpected<Error> fail_message(std::string message) {
  return fail(Error::message(std::move(message)));
}

// Turns the exception being handled (inside a catch block) into an internal
// fault. Used at operation boundaries so that allocation failures and
// std::system_error from thread creation never cross into the caller.
Error error_from_current_exception();

// Runs `body` (returning Result<T> or Status) and converts any exception it
// throws into an internal-fault error.
template <class F>
auto guard(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    return std::unexpected<Error>(error_from_current_exception());
  }
}

}  // namespace vesk

#endif  // VESK_CORE_BASE_ERROR_H_
