// The implementation of runner.h; its role and contract are stated there.

#include "core/runner/runner.h"

#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <variant>

#include <simdjson.h>

#include "core/exchange/fs_tree.h"
#include "core/base/pipeline.h"
#include "core/runner/snapshot.h"
#include "core/runner/spare_lending.h"
#include "core/runner/spare_runner.h"
#include "core/base/sparse_stream.h"

namespace vesk {

namespace {

// The exit status of a process that has exited normally, without waiting:
// none while it runs, when a signal ended it, or when the question fails. Its
// output can end a moment before it has, so a crash may come without one.
std::optional<std::int32_t> exit_code(Child& child, bool sandboxed) {
  const std::optional<ExitStatus> status = child.try_wait();
  if (!status || !status->code) return std::nullopt;
  // bubblewrap ends with 128 plus the signal that ended the runner.
  if (sandboxed && *status->code > 128) return std::nullopt;
  return *status->code;
}

std::string code_text(std::optional<std::int32_t> code) {
  return code ? "Some(" + std::to_string(*code) + ")" : "None";
}

// Reads one line as text: false at the end of the stream, also when it comes
// in the middle of a line (a reply cut short by the runner's end is no
// reply), on a read error, and for bytes that are not UTF-8 (a runner writes
// none).
// `max` bounds the line (see FdReader::read_line): past it `*too_long` is set
// and false returned, with nothing more read.
bool read_text_line(FdReader& reader, std::string& line, std::size_t max = SIZE_MAX,
                    bool* too_long = nullptr) {
  const FdReader::ReadResult read = reader.read_line(line, max);
  if (read == FdReader::ReadResult::kTooLong && too_long != nullptr) *too_long = true;
  return read == FdReader::ReadResult::kLine && !line.empty() && line.back() == '\n' &&
         simdjson::validate_utf8(line.data(), line.size());
}

// The size of the pieces the start snapshot is read in.
constexpr std::size_t kSnapshotPiece = 1 << 20;

// The ready line is a few dozen bytes; a resumed interpreter's code may write
// before it, but nothing it writes there is read as more than this.
constexpr std::size_t kLongestReadyLine = 1 << 20;

// Gives back to the system what a large line took: its buffer, and the
// allocator's free pages around it (a line read in growing pieces leaves
// some on the heap).
void release_line(std::string& line) {
  const bool large = line.capacity() >= (std::size_t{32} << 20);
  std::string().swap(line);
  if (large) ::malloc_trim(0);
}

// The number of the request a reply answers, if it carries one.
std::optional<std::uint64_t> reply_seq(const ReplyLine& reply) {
  if (const auto* ok = std::get_if<OkReply>(&reply)) return ok->seq;
  if (const auto* err = std::get_if<ErrReply>(&reply)) return err->seq;
  if (const auto* image = std::get_if<ImageReply>(&reply)) return image->seq;
  return std::nullopt;
}

Error memory_limit_error(std::uint64_t limit_mb) {
  return Error::message("the runner went over its memory limit of " + std::to_string(limit_mb) +
                        " MiB (max_runner_memory_mb) and was stopped");
}

// A runner's reply keeps this many UTF-16 code units of each stream (the
// runner's CAPTURE_LIMIT); a failed request's partial output is bounded
// alike.
constexpr std::size_t kCaptureLimit = 1 << 20;

// UTF-16 code units of UTF-8 text, as the runner counts its capture.
std::size_t utf16_units(std::string_view text) {
  std::size_t n = 0;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b & 0xC0) != 0x80) ++n;
    if (b >= 0xF0) ++n;
  }
  return n;
}

// Appends one progress line to a partial capture, as the runner builds its
// capture: whole lines, until the limit has been reached.
void capture_line(std::string& capture, std::size_t& units, std::string_view line) {
  if (units >= kCaptureLimit) return;
  capture.append(line);
  capture.push_back('\n');
  units += utf16_units(line) + 1;
}

std::string trim_end(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' ||
                           text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

// Gives back the memory of a request's partial output once the request's
// result has been made: an idle runner holds none.
struct ReleasePartial {
  std::string& stdout_text;
  std::string& stderr_text;
  ~ReleasePartial() {
    std::string().swap(stdout_text);
    std::string().swap(stderr_text);
  }
};

// How long a runner whose output ended, or that stopped taking requests, is
// given to exit before it is reported without its exit code: it has closed
// its pipes, so it is ending already.
constexpr std::chrono::milliseconds kExitGrace{2000};

// A reply buffer this small is kept for the next request; a larger one is
// given back as the call ends, so that an idle session holds no reply.
constexpr std::size_t kKeptReplyBuffer = 16 << 20;

// Larger pipes let a request or reply of many megabytes pass with far fewer
// switches between the two processes. Best effort: the kernel may refuse.
void widen_pipe(int fd) {
  constexpr int kPipeBytes = 1 << 20;
  (void)::fcntl(fd, F_SETPIPE_SZ, kPipeBytes);
}

}  // namespace

Runner::Runner(VeskEngine engine, RunnerProcess process)
    : engine_(std::move(engine)),
      private_dir_(std::move(process.own_dir)),
      child_(std::move(process.spawned.child)),
      deno_pid_(process.pid),
      stdin_(std::move(process.spawned.stdin_fd)),
      stdout_(std::move(process.spawned.stdout_fd)),
      writer_(stdin_.get()),
      reader_(stdout_.get()) {
  widen_pipe(stdin_.get());
  widen_pipe(stdout_.get());
}

Runner::~Runner() {
  if (spare_gate_) spare_gate_->open();
  // Nothing is flushed: whatever is still buffered has no reader any more.
  if (child_) child_->kill();
  // The pipes close with their descriptors; the child, once the last
  // reference (ours) goes, is reaped in the background.
}

Result<std::unique_ptr<Runner>> Runner::start(const VeskEngine& engine) {
  return guard([&]() -> Result<std::unique_ptr<Runner>> {
    // Checked against the digest the module recorded as it is read and sent
    // (reading and hashing it first took a tenth of a start); the runner
    // gets the bytes, never the file.
    std::optional<OpenedSnapshot> snapshot = open_start_snapshot(engine);
    if (!snapshot) return start_with(engine, "", nullptr);
    bool damaged = false;
    std::string piece;
    piece.reserve(kSnapshotPiece);
    const auto stream = [&](const PieceSink& send) {
      return stream_start_snapshot(*snapshot, send, &damaged, piece);
    };
    const StartBytes bytes{snapshot->size,
                           [&](const PieceSink& send) { return produce_ahead(stream, send); }};
    Result<std::unique_ptr<Runner>> started = start_with(engine, "snapshot-load", &bytes);
    // The pieces' buffers were made on this thread, so what they took goes
    // back to the system here rather than staying in a producer's arena.
    ::malloc_trim(0);
    // The runner that was given a damaged file has been stopped before it
    // said it was ready: this start goes the ordinary way.
    if (!started && damaged) return start_with(engine, "", nullptr);
    return started;
  });
}

Result<std::unique_ptr<Runner>> Runner::resume(const VeskEngine& engine, const ParkImage& image) {
  // Without its zero runs (sparse_stream.h): a third to a half of an image.
  // Decompressing it takes about as long as the runner takes to read it:
  // the two overlap (pipeline.h).
  const auto encode = [&](const PieceSink& send) -> Status {
    SparseEncoder encoder(send);
    Status decompressed =
        decompress_image_to(image, [&](std::string_view piece) { return encoder.add(piece); });
    if (!decompressed) return decompressed;
    return encoder.finish();
  };
  const StartBytes bytes{image.size,
                         [&](const PieceSink& send) { return produce_ahead(encode, send); }};
  return start_with(engine, "resume", &bytes);
}

Result<std::unique_ptr<Runner>> Runner::start_with(const VeskEngine& engine, std::string_view mode,
                                                   const StartBytes* bytes, bool may_take_spare) {
  return guard([&]() -> Result<std::unique_ptr<Runner>> {
    const std::uint64_t limit = engine.config().install_timeout_ms;
    if (auto s = ensure_pyodide_cached(engine.deno_path(), limit); !s) return fail(s.error());
    // A process whose sessions park keeps a runner half-started for the next
    // start or resume (spare_runner.h): it is told what it starts from.
    const bool keeps_spare = engine.config().park_after_idle_secs > 0 && engine.config().spare_runner;
    std::optional<RunnerProcess> spare;
    // A server's worker keeps none of its own but may borrow its server's
    // (spare_lending.h).
    if (bytes && may_take_spare) {
      spare = keeps_spare ? take_spare_runner(engine) : borrow_spare_runner(engine);
    }
    const bool from_spare = spare.has_value();
    Result<RunnerProcess> process = from_spare ? Result<RunnerProcess>(std::move(*spare))
                                               : start_runner_process(engine, mode);
    if (!process) return fail(process.error());
    const pid_t measured = process->pid;
    std::unique_ptr<Runner> runner(new Runner(engine, std::move(*process)));
    const std::uint64_t memory_mb = engine.config().max_runner_memory_mb;
    Result<std::unique_ptr<MemoryGuard>> guard =
        MemoryGuard::watch(runner->child_, measured, memory_mb * 1048576u);
    if (!guard) return fail(guard.error());
    runner->memory_guard_ = std::move(*guard);
    bool ready = false;
    bool timed_out = false;
    bool can_snapshot = false;
    {
      Result<std::unique_ptr<Watchdog>> watchdog = Watchdog::start(runner->child_, limit);
      if (!watchdog) return fail(watchdog.error());  // the runner's release kills the child
      // A runner that ends before it has read the snapshot fails the write;
      // the missing ready line then tells what happened.
      if (bytes) {
        const int in = runner->stdin_.get();
        const std::string header =
            (from_spare ? std::string(mode) + ' ' : std::string()) + std::to_string(bytes->size) + '\n';
        bool send_failed = !write_all(in, header);
        Status produced;
        if (!send_failed) {
          produced = bytes->produce([&](std::string_view piece) -> Status {
            Status s = write_all(in, piece);
            send_failed = !s;
            return s;
          });
        }
        // Bytes that could not be made whole (a damaged image): the runner
        // must not start from what it was given. Its release kills it.
        if (!produced && !send_failed) return fail(produced.error());
      }
      std::string line;
      ready = read_text_line(runner->reader_, line, kLongestReadyLine) && is_ready_line(line);
      // The ready line comes before any session code has run: it is the
      // runner script's own word. (A resumed interpreter holds the
      // session's earlier code, which may forge it; all it could claim is a
      // resume that did not happen, which harms nobody but that session.)
      runner->from_snapshot_ = ready && line.find("\"snapshot\":true") != std::string::npos;
      can_snapshot = ready && line.find("\"snapshot\":false") != std::string::npos;
      (*watchdog)->cancel();
      timed_out = (*watchdog)->fired();
    }
    if (ready) {
      if (can_snapshot) make_start_snapshot_in_background(engine);
      if (keeps_spare && runner->from_snapshot_) {
        runner->spare_gate_ = start_spare_runner(engine);
      } else if (from_spare) {  // borrowed
        runner->spare_gate_ = borrowed_runner_gate();
      }
      return runner;
    }
    const std::optional<std::int32_t> code = exit_code(*runner->child_, runner->sandboxed());
    const bool memory_guard_fired = runner->memory_guard_->fired();
    // Not killed: closing its input ends a runner that is still healthy at
    // its next read. Dropping the reference hands the child to the reaper.
    runner->child_.reset();
    runner.reset();
    if (memory_guard_fired) return fail(memory_limit_error(memory_mb));
    // A spare may have ended just as it was taken: start afresh once.
    if (from_spare && !timed_out) return start_with(engine, mode, bytes, false);
    if (timed_out) {
      return fail_message("Deno runner startup timed out after " + std::to_string(limit) +
                          "ms; check server stderr for details");
    }
    return fail_message("Deno runner exited during startup (exit code: " + code_text(code) +
                        "); check server stderr for details");
  });
}

Result<std::unique_ptr<Runner>> Runner::new_from_timeout_recovery(
    const VeskEngine& engine, const std::vector<PackageRecord>& packages) {
  Result<std::unique_ptr<Runner>> runner = start(engine);
  if (!runner) return runner;
  (*runner)->reinstall(packages);
  return runner;
}

void Runner::reinstall(const std::vector<PackageRecord>& packages) {
  for (const PackageRecord& record : packages) {
    Status s = install(record.package, record.files ? &*record.files : nullptr);
    if (s) continue;
    // The session goes on without it; the user learns which one is missing.
    std::string reason = s.error().message();
    std::replace(reason.begin(), reason.end(), '\n', ' ');
    const std::string line = "vesk: could not reinstall '" + record.package +
                             "' in the new runner: " + reason + "\n";
    (void)write_all(STDERR_FILENO, line);
  }
}

Error Runner::with_partial(Error error) const {
  error.with_partial_output(trim_end(partial_stdout_), trim_end(partial_stderr_));
  return error;
}

template <class Write>
Result<ReplyLine> Runner::request(Write&& write, std::uint64_t limit_ms,
                                  const ProgressCallback& progress, const ImageReader* image,
                                  int cancel_fd) {
  struct OpenGate {
    std::shared_ptr<SpareGate>& gate;
    ~OpenGate() {
      if (gate) gate->open();
      gate.reset();
    }
  } open_gate{spare_gate_};
  // The watchdog guards the write as well: a runner that stopped reading
  // would otherwise block a large request for ever.
  partial_stdout_.clear();
  partial_stderr_.clear();
  std::size_t stdout_units = 0;
  std::size_t stderr_units = 0;
  Result<std::unique_ptr<Watchdog>> started = Watchdog::start(child_, limit_ms, cancel_fd);
  if (!started) return fail(started.error());
  Watchdog& watchdog = **started;
  // The runner's output ended, or it took no more of the request: why.
  // `still_running`: it wrote what no runner writes (bytes that are not
  // UTF-8); its stream is given up and it is stopped.
  const auto ended = [&](bool still_running = false) -> Error {
    usable_ = false;
    watchdog.cancel();
    if (memory_guard_->fired()) return memory_limit_error(engine_.config().max_runner_memory_mb);
    if (watchdog.fired_by_cancel_fd()) return with_partial(Error::runner(RunnerError::cancelled()));
    if (watchdog.fired()) return with_partial(Error::runner(RunnerError::timeout(limit_ms)));
    // It closed its pipes, so it is ending: waiting a moment for it makes
    // the report the same however the two ends' timing fell.
    if (still_running) child_->kill();
    (void)child_->wait_for(kExitGrace);
    return with_partial(Error::runner(RunnerError::crash(exit_code(*child_, sandboxed()))));
  };

  const std::uint64_t seq = ++sent_;
  if (Status s = write(); !s) {
    // Part of a line may have gone out, or nobody reads any more: no later
    // request could be understood.
    usable_ = false;
    // An error of the system is the runner's going (killed while idle, or
    // while the request was being written): reported as the crash it is.
    if (s.error().kind() == Error::Kind::Os) return fail(ended());
    watchdog.cancel();
    return fail(s.error());
  }
  std::string& line = line_;
  // The buffer keeps the capacity of the last reply for the next one, up to
  // kKeptReplyBuffer: workspaces change little from one request to the
  // next, and filling fresh pages costs more than reading the reply itself.
  // Anything larger, and anything grown by a line that was no reply of this
  // request (a gigabyte of garbage), is given back as the call ends.
  struct TrimOnExit {
    std::string& line;
    std::size_t reply_size = 0;
    ~TrimOnExit() {
      if (line.capacity() > kKeptReplyBuffer) {
        release_line(line);
      } else if (line.capacity() / 4 > reply_size) {
        std::string().swap(line);
      }
    }
  } trim{line};
  const std::size_t longest = static_cast<std::size_t>(std::min<std::uint64_t>(
      SIZE_MAX, longest_reply_line(engine_.config().max_workspace_mb,
                                   engine_.config().max_runner_memory_mb)));
  for (;;) {
    bool too_long = false;
    if (!read_text_line(reader_, line, longest, &too_long)) {
      if (too_long) {
        // Only code that took the runner over writes such a line: it is
        // stopped at once, so that nothing more of it comes into this
        // process, and the line's memory goes back with the call.
        usable_ = false;
        watchdog.cancel();
        child_->kill();
        release_line(line);
        return fail(with_partial(Error::message(
            "the runner wrote a line of more than " + std::to_string(longest) +
            " bytes, longer than any reply can be (max_workspace_mb), and was stopped")));
      }
      const bool whole_line = !line.empty() && line.back() == '\n';
      return fail(ended(whole_line));
    }
    Result<ReplyLine> decoded = decode_reply_line(line);
    // While an earlier request's reply is still owed, what arrives may be
    // the rest of that request's output.
    const bool earlier_owed = answered_ + 1 < seq;
    if (!decoded && earlier_owed) {
      // The rest of a request whose wait already failed on a line it could
      // not use: it must not fail this one as well.
      continue;
    }
    if (decoded) {
      if (auto* p = std::get_if<ProgressReply>(&*decoded)) {
        if (earlier_owed) continue;
        if (p->from_stderr) {
          capture_line(partial_stderr_, stderr_units, p->text);
        } else {
          capture_line(partial_stdout_, stdout_units, p->text);
        }
        if (progress) progress(std::move(p->text));
        continue;
      }
      const std::optional<std::uint64_t> replied = reply_seq(*decoded);
      if (replied != seq) {
        // The late reply of an earlier request whose wait failed, or a line
        // shaped like a reply that code in the runner wrote itself.
        if (replied && *replied > answered_ && *replied < seq) answered_ = *replied;
        continue;
      }
      answered_ = seq;
      trim.reply_size = line.size();
      if (const auto* announced = std::get_if<ImageReply>(&*decoded)) {
        // Only a park request is answered with an image; its bytes are
        // read while the watchdog still guards the wait.
        if (image == nullptr) {
          watchdog.cancel();
          return fail_message(std::string(kNoVariantMessage));
        }
        Result<bool> taken = (*image)(announced->size);
        if (taken && !*taken) return fail(ended());
        if (!taken) {
          watchdog.cancel();
          return fail(taken.error());
        }
      }
    }
    // A line that is no reply ends the wait with its error; the reply of
    // this request, should it still come, is passed over by the next wait.
    watchdog.cancel();
    return decoded;
  }
}

Result<ExecutionOutput> Runner::execute_python(std::string_view code, const FileMap& files,
                                               const ProgressCallback& progress, ReplyForm reply,
                                               const RunControl& control) {
  return guard([&]() -> Result<ExecutionOutput> {
    return execution_output(
        request([&] { return write_execute_request(writer_, code, files, reply); },
                control.limit(engine_.config().exec_timeout_ms), progress, nullptr,
                control.cancel_fd));
  });
}

Result<ExecutionOutput> Runner::execute_python_changes(
    std::string_view code, const std::vector<FileMap::Difference>& changes,
    const ProgressCallback& progress, const RunControl& control) {
  return guard([&]() -> Result<ExecutionOutput> {
    return execution_output(
        request([&] { return write_diff_execute_request(writer_, code, changes); },
                control.limit(engine_.config().exec_timeout_ms), progress, nullptr,
                control.cancel_fd));
  });
}

Result<ExecutionOutput> Runner::execution_output(Result<ReplyLine> reply) {
  const ReleasePartial release{partial_stdout_, partial_stderr_};
  if (!reply) return fail(reply.error());
  if (std::holds_alternative<ImageReply>(*reply)) return fail_message(std::string(kNoVariantMessage));
  if (auto* e = std::get_if<ErrReply>(&*reply)) {
    if (e->resync) {
      ExecutionOutput out;
      out.resync = true;
      return out;
    }
    return fail(with_partial(Error::runner(RunnerError::application(std::move(e->error)))));
  }
  OkReply& ok = std::get<OkReply>(*reply);
  ExecutionOutput out{std::move(ok.stdout_text), std::move(ok.stderr_text), FileMap(), ok.diff,
                      std::move(ok.removed), false};
  for (auto& [key, bytes] : ok.files) out.files.set(std::move(key), make_content(std::move(bytes)));
  return out;
}

Status Runner::install(std::string_view package, const FileMap* files,
                       std::optional<std::vector<std::string>>* installed,
                       const RunControl& control) {
  return guard([&]() -> Status {
    const ReleasePartial release{partial_stdout_, partial_stderr_};
    if (installed != nullptr) installed->reset();
    Result<ReplyLine> reply = request([&] { return write_install_request(writer_, package, files); },
                                      control.limit(engine_.config().install_timeout_ms),
                                      ProgressCallback(), nullptr, control.cancel_fd);
    if (!reply) return fail(reply.error());
    if (auto* e = std::get_if<ErrReply>(&*reply)) {
      return fail(with_partial(Error::message(std::move(e->error))));
    }
    auto* ok = std::get_if<OkReply>(&*reply);
    if (ok == nullptr) return fail_message(std::string(kNoVariantMessage));
    if (installed != nullptr) *installed = std::move(ok->installed);
    return {};
  });
}

Result<Runner::ParkOutcome> Runner::park(std::uint64_t max_bytes,
                                         const std::function<Status(std::string_view)>& sink) {
  return guard([&]() -> Result<ParkOutcome> {
    const ReleasePartial release{partial_stdout_, partial_stderr_};
    ParkOutcome outcome;
    const ImageReader read_image = [&](std::uint64_t size) -> Result<bool> {
      if (size > max_bytes) {
        // What follows the line cannot be passed over short of reading it,
        // and only code in the runner can make an image this large.
        usable_ = false;
        child_->kill();
        return fail_message("the runner's image of " + std::to_string(size) +
                            " bytes passes max_runner_memory_mb");
      }
      constexpr std::size_t kPiece = 1 << 20;
      std::string piece(static_cast<std::size_t>(std::min<std::uint64_t>(size, kPiece)), '\0');
      Status taken;
      for (std::uint64_t left = size; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kPiece));
        if (!reader_.read_exact(piece.data(), n)) return false;
        left -= n;
        // After a failure the rest is read all the same, so that the runner
        // stays in step.
        if (taken) taken = sink(std::string_view(piece.data(), n));
      }
      if (!taken) return fail(taken.error());
      outcome.parked = true;
      return true;
    };
    Result<ReplyLine> reply = request([&] { return write_park_request(writer_); },
                                      engine_.config().install_timeout_ms, ProgressCallback(),
                                      &read_image);
    if (!reply) return fail(reply.error());
    if (auto* e = std::get_if<ErrReply>(&*reply)) {
      outcome.refusal = std::move(e->error);
      return outcome;
    }
    if (!outcome.parked) return fail_message(std::string(kNoVariantMessage));
    return outcome;
  });
}

}  // namespace vesk
