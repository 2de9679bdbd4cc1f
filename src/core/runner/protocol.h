// The line protocol between the module and its runner process.
//
// Each message is one JSON object on one line, in both directions. Requests
// (module to runner) are written compactly, keys in a fixed order, straight
// into the buffered writer on the runner's standard input; file contents
// travel as arrays of decimal byte values ("abc" is [97,98,99]). Lines from
// the runner are decoded strictly: every listed field is required, unknown
// keys are ignored (but must still be well-formed JSON), a key given twice
// makes the object invalid, and byte values must be JSON integers 0 to 255.
//
// The encoders write and flush; the decoders are pure and do no I/O.
#ifndef VESK_CORE_RUNNER_PROTOCOL_H_
#define VESK_CORE_RUNNER_PROTOCOL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/base/error.h"
#include "core/history/file_map.h"
#include "core/base/io.h"

namespace vesk {

// What the reply to a whole execute request carries: the whole workspace as
// the run left it ("files"), or only what the run changed (the difference
// form of the reply, OkReply::diff), which the request asks for with
// "reply":"changes". Either way the runner then holds what it was sent.
enum class ReplyForm { kWhole, kChanges };

// Writes {"code":...,"files":{...}} and a line feed into `out`, then flushes
// (with ReplyForm::kChanges, {"code":...,"reply":"changes","files":{...}}).
// `code` and the keys of `files` must be valid UTF-8; otherwise nothing is
// written and a plain error is returned, so the runner never receives a line
// it cannot parse. Write errors are the Os errors of the writer (a runner
// that has gone gives "Broken pipe (os error 32)"); after one the line may
// have been written in part.
Status write_execute_request(FdWriter& out, std::string_view code, const FileMap& files,
                             ReplyForm reply = ReplyForm::kWhole);

// Writes the difference form of an execute request,
// {"code":...,"changed":{...},"removed":[...]}, and a line feed into `out`,
// then flushes: `changes` are the differences from the workspace the runner
// holds to the one the code must see (a key with `to` set is written with
// that content, one without is removed). The runner answers it with the
// difference form of the reply (OkReply::diff), or with {"resync":true}
// when what it holds is not what it last reported. Same errors as
// write_execute_request.
Status write_diff_execute_request(FdWriter& out, std::string_view code,
                                  const std::vector<FileMap::Difference>& changes);

// Writes {"park":true} and a line feed into `out`, then flushes. Errors: the
// writer's.
Status write_park_request(FdWriter& out);

// Writes {"package":...} and a line feed into `out`, then flushes; with
// `files`, {"package":...,"files":{...}}, which makes the runner lay out the
// workspace first (a wheel in it can then be installed by its emfs: path).
// Same errors as write_execute_request.
Status write_install_request(FdWriter& out, std::string_view package,
                             const FileMap* files = nullptr);

// True when `line`, with surrounding white space removed, is an object whose
// "ready" is the boolean true. Anything else, including text that is not
// JSON, is not the ready line.
bool is_ready_line(std::string_view line);

// The decoded forms of a line read while a request runs.
struct ProgressReply {
  std::string text;  // exactly as decoded, possibly empty
  // "stream":"stderr": a line of Python's standard error.
  bool from_stderr = false;
};
// `seq`: the number of the request a reply answers, as the runner counts the
// requests it reads (the first is 1); absent when the line has no "seq" that
// is a non-negative JSON integer. Lines without one still decode: whether to
// take them is the reader's business.
struct OkReply {
  std::string stdout_text;
  std::string stderr_text;
  // Workspace key -> bytes, in the order of the line; keys are unique.
  std::vector<std::pair<std::string, std::string>> files;
  std::optional<std::uint64_t> seq;
  // A reply to the difference form: `files` holds only the files the run
  // changed or made, and `removed` the keys it removed ("changed" and
  // "removed" in place of "files").
  bool diff = false;
  std::vector<std::string> removed;
  // An install's reply may list the addresses of the wheels it put in place,
  // dependencies first ("installed": an array of strings); absent when the
  // line has no such array.
  std::optional<std::vector<std::string>> installed;
};
struct ErrReply {
  std::string error;
  std::optional<std::uint64_t> seq;
  // {"resync":true}: the runner did not run a difference request, since its
  // workspace is not what it last reported; the request must be sent again
  // in the whole form.
  bool resync = false;
};
// {"image":L}: the runner took a park request and L raw bytes of its image
// follow the line (the reader takes them).
struct ImageReply {
  std::uint64_t size = 0;
  std::optional<std::uint64_t> seq;
};
using ReplyLine = std::variant<ProgressReply, OkReply, ErrReply, ImageReply>;

// Decodes one line read while a request runs (line feed and surrounding white
// space allowed). An object with a string "progress" is a progress line,
// whatever else it holds (a "stream" of "stderr" marks one of standard
// error); otherwise an object with "stdout", "stderr" and
// "files" is a success reply (even if it also holds "error"); otherwise one
// with a non-negative integer "image" is an image reply; otherwise one with
// "error" is a failure reply.
//
// Errors (plain): "data did not match any variant of untagged enum
// RunnerResponse" for well-formed JSON of another shape; for text that is not
// JSON at all (or is empty), the JSON parser's message naming line and
// column. Use is_json_syntax_error() to tell the two apart.
//
// `line` must be valid UTF-8, as the runner's reader makes sure of before it
// decodes: the fast path for the runner's own compact replies does not check
// again, and would take a line that is not for a reply.
//
// `line` is taken by reference because the parser needs some slack after the
// text: a few bytes may be appended to it. Its content is otherwise unchanged.
Result<ReplyLine> decode_reply_line(std::string& line);

// The message for well-formed JSON that is no runner reply.
inline constexpr std::string_view kNoVariantMessage =
    "data did not match any variant of untagged enum RunnerResponse";

// The longest line a runner can write that may still be a reply it made
// itself, in bytes; a longer one is from code that took the runner over. The
// files of a reply are at most the smaller of the workspace limit and the
// runner's memory (a runner holds its workspace in memory; a larger one is
// refused by the workspace limit anyway): call that W. Each of their bytes
// travels as at most four bytes of text ("255,"); their keys, punctuation
// and an install's addresses get W more (a tree whose names alone outweigh
// its content limit is no workspace anyone keeps); each stream's capture is
// at most 2 Mi UTF-16 code units (its limit plus one batch), escaped to at
// most six bytes each, and an error's text is bounded alike by W. With the
// defaults (512 MiB workspace) that is 2.5 GiB plus 32 MiB; a smaller
// max_workspace_mb lowers it.
std::uint64_t longest_reply_line(std::optional<std::uint64_t> max_workspace_mb,
                                 std::uint64_t max_runner_memory_mb);

// True when `error`, returned by decode_reply_line, says the line was not
// JSON at all (as opposed to JSON of the wrong shape).
bool is_json_syntax_error(const Error& error);

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_PROTOCOL_H_
