// The implementation of session.h; its role and contract are stated there.

#include "core/session/session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <utility>

#include "core/history/key.h"
#include "core/session/session_io.h"
#include "core/runner/spare_runner.h"

namespace vesk {

namespace {

HistoryLimits limits_of(const Config& config) {
  return HistoryLimits{config.max_checkpoints, config.max_workspace_mb, config.max_history_mb};
}

// The idle time before a session parks; ten years stands for any longer
// setting, which would overflow the clock's arithmetic.
ParkClock::duration park_idle_time(const Config& config) {
  constexpr std::uint64_t kLongest = 10ull * 365 * 24 * 3600;
  return std::chrono::seconds(std::min(config.park_after_idle_secs, kLongest));
}

// Restarts a session's idle time when a call that used its runner ends,
// however it ends.
class ActiveOnExit {
 public:
  explicit ActiveOnExit(std::function<void()> mark) : mark_(std::move(mark)) {}
  ~ActiveOnExit() { mark_(); }

 private:
  std::function<void()> mark_;
};

}  // namespace

Session::Session(VeskEngine engine, std::unique_ptr<Runner> runner)
    : engine_(std::move(engine)),
      runner_(std::move(runner)),
      history_(limits_of(engine_.config())) {}

Session::~Session() = default;

Result<std::unique_ptr<Session>> Session::create(const VeskEngine& engine) {
  return guard([&]() -> Result<std::unique_ptr<Session>> {
    // With a spare waiting, what is left of a start is handing it the start
    // snapshot and its ready line, which the caller need not wait for.
    if (engine.config().park_after_idle_secs > 0 && engine.config().spare_runner &&
        spare_runner_waiting(engine)) {
      if (Result<std::unique_ptr<PendingRunner>> pending = PendingRunner::start(engine); pending) {
        std::unique_ptr<Session> session(new Session(engine, nullptr));
        session->pending_ = std::move(*pending);
        return session;
      }
    }
    auto runner = Runner::start(engine);
    if (!runner) return fail(runner.error());
    return std::unique_ptr<Session>(new Session(engine, std::move(*runner)));
  });
}

Status Session::rollback(std::uint64_t id) {
  return guard([&] { return history_.rollback(id); });
}

void Session::set_label(std::string label) {
  ++parts_version_;
  if (label.empty()) {
    label_.reset();
  } else {
    label_ = std::move(label);
  }
}

Status Session::set_checkpoint_label(std::uint64_t id, std::string label) {
  return guard([&] { return history_.set_checkpoint_label(id, std::move(label)); });
}

Status Session::forget_before(std::uint64_t id, bool keep_labelled) {
  return guard([&]() -> Status {
    ++parts_version_;
    if (auto s = history_.forget_before(id, keep_labelled); !s) return s;
    // The record of what the runner holds would keep the contents of a
    // forgotten checkpoint alive; unless it is the current workspace (the
    // usual case after a run), it goes, and the next run sends everything.
    if (runner_files_ && !(*runner_files_ == history_.current().files)) runner_files_.reset();
    return {};
  });
}

Result<std::string> Session::diff(std::uint64_t from_id, std::uint64_t to_id) const {
  return guard([&] { return history_.diff(from_id, to_id); });
}

Status Session::write_file(std::string_view key, std::string content) {
  return guard([&] { return history_.write_file(key, std::move(content)); });
}

Result<const Checkpoint*> Session::delete_file(std::string_view key) {
  return guard([&] { return history_.delete_file(key); });
}

PackageRecord Session::record_for(std::string address) const {
  // A new runner starts with an empty workspace: a wheel that was a file of
  // it travels with its record.
  constexpr std::string_view kWorkspaceWheel = "emfs:/workspace/";
  if (!address.starts_with(kWorkspaceWheel)) return PackageRecord(std::move(address));
  const std::string key = address.substr(kWorkspaceWheel.size());
  const Content* content = history_.current().files.find(key);
  if (content == nullptr) return PackageRecord(std::move(address));
  FileMap files;
  files.set(key, *content);
  return PackageRecord(std::move(address), std::move(files));
}

void Session::mark_active() {
  idle_since_ = ParkClock::now();
  retry_at_.reset();
}

namespace {
// Nanoseconds; negative: the default.
std::atomic<std::int64_t> g_kept_dir_idle_override{-1};
}  // namespace

ParkClock::duration Session::kept_dir_idle_time() {
  // Long enough that a session working in the shell keeps its directory
  // from one command to the next; short enough that an idle one soon gives
  // back what a second copy of its workspace takes.
  constexpr std::chrono::seconds kDefault{60};
  const std::int64_t set = g_kept_dir_idle_override.load(std::memory_order_relaxed);
  if (set < 0) return kDefault;
  return std::chrono::duration_cast<ParkClock::duration>(std::chrono::nanoseconds(set));
}

void Session::set_kept_dir_idle_time_for_testing(std::optional<ParkClock::duration> idle) {
  g_kept_dir_idle_override.store(
      idle ? std::chrono::duration_cast<std::chrono::nanoseconds>(*idle).count() : -1,
      std::memory_order_relaxed);
}

std::optional<ParkClock::time_point> Session::park_deadline() const {
  std::optional<ParkClock::time_point> runner = runner_park_deadline();
  if (!kept_dir_release_at_ || !kept_dir_.exists()) return runner;
  return runner ? std::min(*runner, *kept_dir_release_at_) : *kept_dir_release_at_;
}

Status Session::settle() {
  if (!pending_) return {};
  Result<std::unique_ptr<Runner>> started = pending_->take();
  pending_.reset();
  if (!started) return fail(started.error());
  runner_ = std::move(*started);
  return {};
}

std::optional<ParkClock::time_point> Session::runner_park_deadline() const {
  const Config& config = engine_.config();
  if (config.park_after_idle_secs == 0) return std::nullopt;
  if (pending_) return idle_since_ + park_idle_time(config);
  if (!runner_ || !runner_->usable()) return std::nullopt;
  if (retry_at_) return retry_at_;
  return idle_since_ + park_idle_time(config);
}

Result<Session::ParkResult> Session::park() {
  return guard([&]() -> Result<ParkResult> {
    // A start that failed is tried again by the next call that needs a runner.
    if (!settle()) return ParkResult{};
    // A runner of a session that may not park cannot image its interpreter.
    if (engine_.config().park_after_idle_secs == 0 || !runner_ || !runner_->usable()) {
      return ParkResult{};
    }
    // Idle long enough to park: the shell's kept directory, a second copy of
    // the workspace and often in memory, goes whether or not the runner
    // parks; the next command lays it out again.
    release_kept_dir();
    Result<std::unique_ptr<ImageCompressor>> compressor = ImageCompressor::create();
    if (!compressor) return fail(compressor.error());
    const std::uint64_t max_bytes = engine_.config().max_runner_memory_mb * 1048576u;
    // The kept image's bound is on what it takes in this process, the
    // compressed bytes: known only as they are made, so the runner images
    // its interpreter in any case, and past the bound the rest is read off
    // and dropped (what the host held of it goes with the compressor).
    const std::uint64_t max_kept_mb = engine_.config().max_park_image_mb;
    const std::uint64_t max_kept = std::min<std::uint64_t>(max_kept_mb, UINT64_MAX >> 20) << 20;
    bool too_large = false;
    // Whatever comes of it, the runner is not asked again before another
    // idle period (a lost runner is not asked at all).
    retry_at_ = ParkClock::now() + park_idle_time(engine_.config());
    Result<Runner::ParkOutcome> outcome =
        runner_->park(max_bytes, [&](std::string_view piece) -> Status {
          if (Status s = (*compressor)->add(piece); !s) return s;
          if ((*compressor)->compressed_size() <= max_kept) return {};
          too_large = true;
          return fail_message("past max_park_image_mb");
        });
    if (!outcome && too_large && runner_->usable()) {
      return ParkResult{ParkResult::Kind::kRefused,
                        "not parked: its image passes max_park_image_mb (" +
                            std::to_string(max_kept_mb) + " MiB)"};
    }
    if (!outcome) return fail(outcome.error());
    if (!outcome->parked) return ParkResult{ParkResult::Kind::kRefused, std::move(outcome->refusal)};
    Result<ParkImage> image = (*compressor)->finish();
    if (!image) return fail(image.error());
    parked_ = std::move(*image);
    // Killed at once, never waited for, like any runner that is let go.
    runner_.reset();
    runner_files_.reset();
    retry_at_.reset();
    return ParkResult{ParkResult::Kind::kParked, {}};
  });
}

Result<std::optional<ParkClock::time_point>> Session::park_if_due(ParkClock::time_point now) {
  if (kept_dir_release_at_ && *kept_dir_release_at_ <= now) release_kept_dir();
  const std::optional<ParkClock::time_point> deadline = runner_park_deadline();
  if (deadline && *deadline <= now) {
    Result<ParkResult> parked = park();
    if (!parked && parked.error().is_internal()) return fail(parked.error());
  }
  return park_deadline();
}

void Session::damage_parked_image_for_testing(bool keep_frame) {
  if (parked_ && parked_->expanded) {
    Result<ParkImage> image = compressed_image(*parked_);
    if (!image) return;
    parked_ = std::move(*image);
  }
  if (!parked_ || parked_->compressed.empty()) return;
  if (!keep_frame) {
    std::string& bytes = parked_->compressed;
    const std::size_t middle = bytes.size() / 2;
    for (std::size_t i = middle; i < std::min(bytes.size(), middle + 64); ++i) bytes[i] ^= 0x5a;
    return;
  }
  // A frame that decompresses well to an image whose start the runner does
  // not recognise: the runner refuses it and starts afresh.
  Result<std::string> image = decompress_image(*parked_);
  if (!image || image->empty()) return;
  image->front() ^= 0x5a;
  Result<std::unique_ptr<ImageCompressor>> compressor = ImageCompressor::create();
  if (!compressor || !(*compressor)->add(*image)) return;
  if (Result<ParkImage> again = (*compressor)->finish(); again) parked_ = std::move(*again);
}

Result<std::optional<ParkImage>> Session::interpreter_image() {
  if (parked_ && parked_->expanded) {
    // Kept compressed from now on: it is smaller, and is asked for again at
    // every save until the session resumes.
    Result<ParkImage> image = compressed_image(*parked_);
    if (!image) return fail(image.error());
    parked_ = std::move(*image);
  }
  if (parked_) return parked_;
  if (!settle()) return std::nullopt;
  if (engine_.config().park_after_idle_secs == 0 || !runner_ || !runner_->usable()) {
    return std::nullopt;
  }
  Result<std::unique_ptr<ImageCompressor>> compressor = ImageCompressor::create();
  if (!compressor) return fail(compressor.error());
  const std::uint64_t max_bytes = engine_.config().max_runner_memory_mb * 1048576u;
  Result<Runner::ParkOutcome> outcome = runner_->park(
      max_bytes, [&](std::string_view piece) { return (*compressor)->add(piece); });
  if (!outcome) return fail(outcome.error());
  if (!outcome->parked) return std::nullopt;
  Result<ParkImage> image = (*compressor)->finish();
  if (!image) return fail(image.error());
  return std::optional<ParkImage>(std::move(*image));
}

Result<SavedSession> Session::saved(bool interpreter, std::optional<std::uint64_t> last) {
  return guard([&]() -> Result<SavedSession> {
    SavedSession s;
    const std::vector<Checkpoint>& all = history_.checkpoints();
    if (last) {
      if (auto kept = history_.check_kept(*last); !kept) return fail(kept.error());
      for (const Checkpoint& c : all) {
        if (c.id > *last) break;
        s.checkpoints.push_back(c);
      }
      s.current_id = *last;
    } else {
      s.checkpoints = all;
      s.current_id = history_.current_id();
    }
    if (all.front().id != 0) s.first_files = history_.first_files();
    s.label = label_;
    s.packages = installed_packages_;
    s.origins = mount_origins_;
    // Only the current checkpoint's interpreter is the one the runner has.
    if (interpreter && s.current_id == history_.current_id()) {
      Result<std::optional<ParkImage>> image = interpreter_image();
      if (!image) return fail(image.error());
      s.image = std::move(*image);
    }
    return s;
  });
}

Result<std::unique_ptr<Session>> Session::restore(const VeskEngine& engine, SavedSession saved,
                                                  const BlobStore* interned) {
  return guard([&]() -> Result<std::unique_ptr<Session>> {
    const Config& config = engine.config();
    if (saved.image && saved.image->size > config.max_runner_memory_mb * 1048576u) {
      return fail_message("the session file's interpreter image of " +
                          std::to_string(saved.image->size) +
                          " bytes passes max_runner_memory_mb (" +
                          std::to_string(config.max_runner_memory_mb) + " MiB)");
    }
    Result<History> history =
        History::restore(limits_of(config), std::move(saved.checkpoints), saved.current_id,
                         std::move(saved.first_files), interned);
    if (!history) return fail(history.error());
    std::unique_ptr<Session> session(new Session(engine, nullptr));
    session->history_ = std::move(*history);
    session->label_ = std::move(saved.label);
    session->installed_packages_ = std::move(saved.packages);
    session->mount_origins_ = std::move(saved.origins);
    session->parked_ = std::move(saved.image);
    return session;
  });
}

Result<bool> Session::save(std::string_view path, bool interpreter) {
  return guard([&]() -> Result<bool> {
    Result<SavedSession> s = saved(interpreter);
    if (!s) return fail(s.error());
    if (auto written = write_file_atomically(path, encode_session(*s)); !written) {
      return fail(written.error());
    }
    return s->image.has_value();
  });
}

Result<std::unique_ptr<Session>> Session::load(const VeskEngine& engine, std::string_view path) {
  return guard([&]() -> Result<std::unique_ptr<Session>> {
    Result<std::string> bytes = read_whole_file(path);
    if (!bytes) return fail(bytes.error());
    Result<SavedSession> s = decode_session(*bytes);
    if (!s) return fail(s.error());
    *bytes = std::string();
    return restore(engine, std::move(*s));
  });
}

Result<std::unique_ptr<Session>> Session::fork(std::optional<std::uint64_t> id) {
  return guard([&]() -> Result<std::unique_ptr<Session>> {
    Result<SavedSession> s = saved(true, id.value_or(history_.current_id()));
    if (!s) return fail(s.error());
    return restore(engine_, std::move(*s), &history_.blobs());
  });
}

Result<Session::StoreChanges> Session::journal() {
  return guard([&]() -> Result<StoreChanges> {
    StoreChanges changes;
    changes.journal =
        journal_between(stored_checkpoints_, history_.checkpoints(), history_.current_id(),
                        &digests_);
    if (stored_parts_version_ != parts_version_) {
      SavedSession parts;
      parts.label = label_;
      if (history_.checkpoints().front().id != 0) parts.first_files = history_.first_files();
      parts.packages = installed_packages_;
      parts.origins = mount_origins_;
      changes.parts = encode_session_parts(parts, &changes.journal.contents, &digests_);
    }
    pending_checkpoints_ = history_.checkpoints();
    pending_parts_version_ = parts_version_;
    pending_contents_.clear();
    pending_contents_.insert(changes.journal.contents.begin(), changes.journal.contents.end());
    return changes;
  });
}

void Session::journal_written() {
  stored_checkpoints_ = std::move(pending_checkpoints_);
  stored_parts_version_ = pending_parts_version_;
  pending_checkpoints_.clear();
  pending_contents_.clear();
}

Content Session::journal_content(const ContentDigest& digest) const {
  auto it = pending_contents_.find(digest);
  return it == pending_contents_.end() ? nullptr : it->second;
}

Result<std::optional<std::string>> Session::image_blob() {
  return guard([&]() -> Result<std::optional<std::string>> {
    Result<std::optional<ParkImage>> image = interpreter_image();
    if (!image) return fail(image.error());
    if (!*image) return std::optional<std::string>();
    std::string blob;
    blob.reserve(8 + (*image)->compressed.size());
    for (int i = 0; i < 8; ++i) blob.push_back(static_cast<char>(((*image)->size >> (8 * i)) & 0xff));
    blob += (*image)->compressed;
    return std::optional<std::string>(std::move(blob));
  });
}

Result<std::unique_ptr<Session>> Session::from_store(
    const VeskEngine& engine, std::uint64_t current_id, const std::vector<std::string>& rows,
    std::string_view parts, const std::function<Content(const ContentDigest&)>& content,
    std::optional<std::string> image, bool image_expanded) {
  return guard([&]() -> Result<std::unique_ptr<Session>> {
    std::vector<JournalCheckpoint> decoded;
    decoded.reserve(rows.size());
    for (const std::string& row : rows) {
      Result<JournalCheckpoint> r = decode_journal_row(row);
      if (!r) return fail(r.error());
      decoded.push_back(std::move(*r));
    }
    Result<std::vector<Checkpoint>> checkpoints = rebuild_checkpoints(std::move(decoded), content);
    if (!checkpoints) return fail(checkpoints.error());
    SavedSession saved;
    saved.checkpoints = std::move(*checkpoints);
    saved.current_id = current_id;
    if (auto s = decode_session_parts(parts, content, &saved); !s) return fail(s.error());
    if (image && image_expanded) {
      saved.image = ParkImage{std::move(*image), 0, true};
      saved.image->size = saved.image->compressed.size();
    } else if (image) {
      if (image->size() < 8) return fail_message("the stored interpreter image is damaged");
      ParkImage p;
      for (int i = 0; i < 8; ++i) {
        p.size |= static_cast<std::uint64_t>(static_cast<unsigned char>((*image)[i])) << (8 * i);
      }
      p.compressed = image->substr(8);
      saved.image = std::move(p);
    }
    Result<std::unique_ptr<Session>> session = restore(engine, std::move(saved));
    if (!session) return fail(session.error());
    Session& s = **session;
    s.stored_checkpoints_ = s.history_.checkpoints();
    s.stored_parts_version_ = s.parts_version_;
    return session;
  });
}

Status Session::ensure_runner() {
  if (pending_) return settle();
  if (runner_) return {};
  std::string why;
  if (parked_) {
    Result<std::unique_ptr<Runner>> resumed = Runner::resume(engine_, *parked_);
    parked_.reset();
    if (resumed) {
      runner_ = std::move(*resumed);
      runner_files_.reset();
      mark_active();
      runner_->reinstall(installed_packages_);
      if (runner_->from_snapshot()) return {};
      why = "the runner refused its image";
    } else {
      why = resumed.error().message();
    }
  }
  if (!runner_) {
    Result<std::unique_ptr<Runner>> fresh =
        Runner::new_from_timeout_recovery(engine_, installed_packages_);
    if (!fresh) {
      if (why.empty()) return fail(fresh.error());
      return fail_message("the session's parked interpreter could not be restored (" + why +
                          "); a fresh one could not be started either: " +
                          fresh.error().message());
    }
    runner_ = std::move(*fresh);
    runner_files_.reset();
    mark_active();
    // After a resume whose fresh start failed too, which the caller heard of
    // then: this call goes on.
    if (why.empty()) return {};
  }
  return fail_message("the session's parked interpreter could not be restored (" + why +
                      "); it goes on with a fresh one");
}

Error Session::recover(Error failure) {
  auto replacement = Runner::new_from_timeout_recovery(engine_, installed_packages_);
  if (!replacement) {
    // The old runner is lost all the same; its output still tells what ran.
    Error start = replacement.error();
    start.with_partial_output(failure.partial_stdout(), failure.partial_stderr());
    start.set_interpreter_reset();
    return start;
  }
  runner_ = std::move(*replacement);
  runner_files_.reset();
  failure.set_interpreter_reset();
  return failure;
}

namespace {

// The refusal of a call whose cancel descriptor was readable before it
// began: nothing ran, nothing was lost.
Error cancelled_before_start() { return Error::runner(RunnerError::cancelled()); }

}  // namespace

Result<const Checkpoint*> Session::execute_python(std::string_view code,
                                                  const ProgressCallback& progress,
                                                  const RunControl& control) {
  return guard([&]() -> Result<const Checkpoint*> {
    if (control.cancel_requested()) return fail(cancelled_before_start());
    history_.discard_after_current();
    // Refused before the code runs: a run that could not be recorded would
    // still change the interpreter's state.
    if (auto s = history_.check_checkpoint_limit(); !s) return fail(s.error());
    // A workspace that cannot be a directory tree would fail in the runner,
    // which would then end and take the interpreter's state with it.
    if (auto s = history_.check_current_layout(); !s) return fail(s.error());
    const ActiveOnExit active([this] { mark_active(); });
    // The first start's failure is the one create() would have given.
    const bool first_start = pending_ != nullptr;
    if (auto s = ensure_runner(); !s) {
      if (!first_start) s.error().set_interpreter_reset();
      return fail(std::move(s.error()));
    }
    const FileMap& current = history_.current().files;
    // Unless the module is sure what the runner holds, the whole workspace
    // goes out; whatever goes wrong below, it is not sure any more.
    std::optional<FileMap> held = std::move(runner_files_);
    runner_files_.reset();
    // The reply carries only what the run changed either way: the module
    // knows what it sent.
    Result<ExecutionOutput> output =
        held ? runner_->execute_python_changes(code, FileMap::diff(*held, current), progress,
                                               control)
             : runner_->execute_python(code, current, progress, ReplyForm::kChanges, control);
    if (output && output->resync) {
      output = runner_->execute_python(code, current, progress, ReplyForm::kChanges, control);
    }
    if (output && output->resync) return fail_message("the runner asked for its workspace twice");
    if (!output) {
      const Error& e = output.error();
      // A runner that could not take the whole request (it died while idle,
      // or while the request was being written) cannot take the next one
      // either: it is replaced as after a crash, and the caller still learns
      // of the failed write.
      const bool runner_lost = e.is_runner(RunnerErrorKind::Timeout) ||
                               e.is_runner(RunnerErrorKind::Crash) ||
                               e.is_runner(RunnerErrorKind::Cancelled) ||
                               e.is_runner(RunnerErrorKind::CommandDenied) || !runner_->usable();
      if (runner_lost) return fail(recover(std::move(output.error())));
      return fail(std::move(output.error()));
    }
    // The reply comes from a process that the code itself can drive (Pyodide
    // reaches JavaScript). A file system names each file one way only, so a
    // key in any other form ("./f" beside "f") is forged and refused.
    for (const auto& [key, content] : output->files) {
      if (auto valid = check_run_key(key); !valid) return fail(valid.error());
    }
    Result<const Checkpoint*> appended =
        output->diff ? history_.append_run_changes(output->files, output->removed,
                                                   std::move(output->stdout_text),
                                                   std::move(output->stderr_text))
                     : history_.append_run(std::move(output->files),
                                           std::move(output->stdout_text),
                                           std::move(output->stderr_text));
    // The runner's workspace is now what the new checkpoint holds.
    if (appended) runner_files_ = (*appended)->files;
    return appended;
  });
}

Status Session::install(std::string_view package, const RunControl& control) {
  return guard([&]() -> Status {
    if (control.cancel_requested()) return fail(cancelled_before_start());
    ++parts_version_;
    const ActiveOnExit active([this] { mark_active(); });
    // The first start's failure is the one create() would have given.
    const bool first_start = pending_ != nullptr;
    if (auto s = ensure_runner(); !s) {
      if (!first_start) s.error().set_interpreter_reset();
      return fail(std::move(s.error()));
    }
    // A wheel named by an emfs: path may be a file of the workspace, which
    // the runner then needs laid out as the current checkpoint holds it.
    const FileMap* files = nullptr;
    if (package.starts_with("emfs:")) {
      if (auto s = history_.check_current_layout(); !s) return fail(s.error());
      files = &history_.current().files;
    }
    std::optional<std::vector<std::string>> addresses;
    // An install that lays out the workspace changes what the runner holds.
    if (files != nullptr) runner_files_.reset();
    auto installed = runner_->install(package, files, &addresses, control);
    if (!installed) return fail(recover(std::move(installed.error())));
    if (!addresses) {
      installed_packages_.emplace_back(std::string(package));
      return {};
    }
    for (std::string& address : *addresses) {
      installed_packages_.push_back(record_for(std::move(address)));
    }
    return {};
  });
}

Result<const Checkpoint*> Session::execute_bash(std::string_view command,
                                                const LineCallback& on_line,
                                                const RunControl& control) {
  return guard([&]() -> Result<const Checkpoint*> {
    if (control.cancel_requested()) return fail(cancelled_before_start());
    Result<const Checkpoint*> result =
        vesk::execute_bash(history_, engine_.config(), command, on_line, &kept_dir_, control);
    kept_dir_release_at_.reset();
    if (kept_dir_.exists()) kept_dir_release_at_ = ParkClock::now() + kept_dir_idle_time();
    return result;
  });
}

Result<std::vector<std::string>> Session::mount(std::string_view path) {
  ++parts_version_;
  return guard([&] { return vesk::mount(history_, mount_origins_, engine_.config(), path); });
}

Result<std::vector<std::string>> Session::commit(
    const std::optional<std::vector<std::string>>& keys) {
  ++parts_version_;
  return guard([&] { return vesk::commit(history_, mount_origins_, keys); });
}

Result<std::vector<std::string>> Session::export_files(
    std::string_view output_dir, const std::optional<std::vector<std::string>>& keys) const {
  return guard([&] { return vesk::export_files(history_, mount_origins_, output_dir, keys); });
}

}  // namespace vesk
