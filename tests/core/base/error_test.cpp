#include "core/base/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <new>
#include <stdexcept>

namespace vesk {
namespace {

TEST(ErrorTest, RunnerErrorMessages) {
  const struct {
    RunnerError error;
    const char* message;
  } cases[] = {
      {RunnerError::timeout(60000), "execution timed out after 60000ms"},
      {RunnerError::timeout(0), "execution timed out after 0ms"},
      {RunnerError::timeout(18446744073709551615u),
       "execution timed out after 18446744073709551615ms"},
      {RunnerError::crash(1), "sandbox process exited unexpectedly (exit code: Some(1))"},
      {RunnerError::crash(137), "sandbox process exited unexpectedly (exit code: Some(137))"},
      {RunnerError::crash(-3), "sandbox process exited unexpectedly (exit code: Some(-3))"},
      {RunnerError::crash(std::nullopt), "sandbox process exited unexpectedly (exit code: None)"},
      {RunnerError::application("Traceback ...\nValueError: x"), "Traceback ...\nValueError: x"},
      {RunnerError::application(""), ""},
      {RunnerError::command_denied("command denied: matches denylist pattern 'rm'"),
       "command denied: matches denylist pattern 'rm'"},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(tc.error.message(), tc.message);
    const Error e = Error::runner(tc.error);
    EXPECT_EQ(e.message(), tc.message);
    EXPECT_EQ(e.kind(), Error::Kind::Runner);
    ASSERT_NE(e.runner_error(), nullptr);
    EXPECT_EQ(e.runner_error()->kind, tc.error.kind);
    EXPECT_TRUE(e.is_runner(tc.error.kind));
  }
}

TEST(ErrorTest, RunnerPayloadSurvivesTheConversion) {
  const Error t = Error::runner(RunnerError::timeout(1500));
  EXPECT_EQ(t.runner_error()->timeout_ms, 1500u);
  const Error c = Error::runner(RunnerError::crash(std::nullopt));
  EXPECT_FALSE(c.runner_error()->exit_code.has_value());
  EXPECT_FALSE(c.is_runner(RunnerErrorKind::Timeout));
}

TEST(ErrorTest, OsErrorsUseThePlatformDescription) {
  EXPECT_EQ(Error::os(ENOENT).message(), "No such file or directory (os error 2)");
  EXPECT_EQ(Error::os(EACCES).message(), "Permission denied (os error 13)");
  EXPECT_EQ(Error::os(ENOSPC).message(), "No space left on device (os error 28)");
  EXPECT_EQ(Error::os(EPIPE).message(), "Broken pipe (os error 32)");
  EXPECT_EQ(Error::os(ENOENT).os_errno(), ENOENT);
  EXPECT_EQ(Error::os(ENOENT).runner_error(), nullptr);
}

TEST(ErrorTest, PlainMessagesAreKeptVerbatim) {
  const Error e = Error::message("checkpoint 7 does not exist");
  EXPECT_EQ(e.message(), "checkpoint 7 does not exist");
  EXPECT_EQ(e.kind(), Error::Kind::Message);
  EXPECT_EQ(e.runner_error(), nullptr);
  EXPECT_FALSE(e.is_internal());
}

TEST(ErrorTest, GuardTurnsExceptionsIntoInternalFaults) {
  Result<int> oom = guard([]() -> Result<int> { throw std::bad_alloc(); });
  ASSERT_FALSE(oom.has_value());
  EXPECT_TRUE(oom.error().is_internal());
  EXPECT_EQ(oom.error().message(), "out of memory");

  Status other = guard([]() -> Status { throw std::runtime_error("no thread"); });
  ASSERT_FALSE(other.has_value());
  EXPECT_TRUE(other.error().is_internal());
  EXPECT_EQ(other.error().message(), "internal fault: no thread");

  Result<int> fine = guard([]() -> Result<int> { return 4; });
  EXPECT_EQ(fine.value(), 4);
}

}  // namespace
}  // namespace vesk
