// The implementation of session_type.h; its role and contract are stated there.

#include "python/session_type.h"

#include <cstring>
#include <functional>
#include <atomic>
#include <memory>
#include <thread>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/base/config.h"
#include "core/runner/engine.h"
#include "core/runner/parking.h"
#include "core/session/session.h"
#include "python/checkpoint_type.h"
#include "python/convert.h"
#include "python/py_ref.h"

namespace vesk::py {

namespace {

// The session and its lock. The abandoned mark is set when an internal fault
// ends a call while the lock is held; the session is never used again then.
// A closed session is an empty slot.
//
// The slot is shared with the parker (parking.h), which asks it to park when
// its runner has been idle long enough: a session busy with a call is not
// idle, so the parker only tries the lock (and asks again a second later),
// and it never touches the
// interpreter or a Python object. The host object drops the session itself
// (under the lock, so never in the middle of a park); the parker may hold
// the empty slot a moment longer.
struct SessionSlot final : Parkable {
  // A session the parker finds busy is asked again this much later.
  static constexpr std::chrono::seconds kBusyRetry{1};

  std::mutex mu;
  // The thread running a call, while one runs: an on_output callback that
  // called its own session would otherwise wait for ever for the lock its
  // own call holds.
  std::atomic<std::thread::id> calling{};
  bool abandoned = false;
  std::unique_ptr<Session> session;
  // The time the parker was last told (or answered itself): a call that
  // leaves the session's deadline as it was need not tell it again.
  std::optional<ParkClock::time_point> scheduled;

  std::optional<ParkClock::time_point> park_if_due(ParkClock::time_point now) override {
    std::unique_lock<std::mutex> lock(mu, std::try_to_lock);
    if (!lock.owns_lock()) return now + kBusyRetry;
    if (abandoned || !session) return scheduled = std::nullopt;
    try {
      Result<std::optional<ParkClock::time_point>> next = session->park_if_due(now);
      if (next) return scheduled = *next;
    } catch (...) {
    }
    abandoned = true;
    return scheduled = std::nullopt;
  }
};

struct SessionObject {
  PyObject_HEAD
  std::shared_ptr<SessionSlot>* slot;
};

// Takes the slot's lock. Only the parker holds it without the interpreter
// lock, for as long as a park takes: a caller waits for it with the
// interpreter lock released, so that the host's other threads go on.
void lock_slot(SessionSlot& slot, std::unique_lock<std::mutex>& lock) {
  lock = std::unique_lock<std::mutex>(slot.mu, std::try_to_lock);
  if (lock.owns_lock()) return;
  Py_BEGIN_ALLOW_THREADS
  lock.lock();
  Py_END_ALLOW_THREADS
}

// The deadline to tell the parker of after a call (under the slot's lock),
// or nullopt when it knows it already or there is none.
std::optional<ParkClock::time_point> news_for_parker(SessionSlot& slot) {
  if (slot.abandoned || !slot.session) return std::nullopt;
  const std::optional<ParkClock::time_point> deadline = slot.session->park_deadline();
  if (!deadline || deadline == slot.scheduled) return std::nullopt;
  slot.scheduled = deadline;
  return deadline;
}

// Tells the parker (outside the slot's lock). Best effort: a session the
// parker cannot be told of stays live.
void tell_parker(const std::shared_ptr<SessionSlot>& slot,
                 std::optional<ParkClock::time_point> deadline) {
  if (!deadline) return;
  try {
    schedule_parking(slot, deadline);
  } catch (...) {
  }
}

using Keys = std::optional<std::vector<std::string>>;
using Unit = std::monostate;

// Runs `op` (Session& -> Result<T>) under the session lock; converts the
// value with `to_py` (T -> new reference) after the lock is released.
template <class Op, class ToPy>
PyObject* with_session(PyObject* self, Op&& op, ToPy&& to_py,
                       void (*raise)(const Error&) = raise_error) {
  const std::shared_ptr<SessionSlot>& shared = *reinterpret_cast<SessionObject*>(self)->slot;
  SessionSlot& slot = *shared;
  if (slot.calling.load() == std::this_thread::get_id()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the session is busy with a call on this thread (on_output cannot use it)");
    return nullptr;
  }
  std::unique_lock<std::mutex> lock;
  lock_slot(slot, lock);
  if (!slot.session) {
    lock.unlock();
    PyErr_SetString(PyExc_RuntimeError, "session is closed");
    return nullptr;
  }
  if (slot.abandoned) {
    lock.unlock();
    raise_internal_fault("this session was abandoned after an internal fault");
    return nullptr;
  }
  using R = decltype(op(*slot.session));
  std::optional<R> result;
  slot.calling.store(std::this_thread::get_id());
  try {
    result.emplace(op(*slot.session));
  } catch (...) {
    result.emplace(std::unexpected<Error>(error_from_current_exception()));
  }
  slot.calling.store(std::thread::id());
  if (!result->has_value() && result->error().is_internal()) slot.abandoned = true;
  const std::optional<ParkClock::time_point> deadline = news_for_parker(slot);
  if (!result->has_value()) {
    lock.unlock();
    tell_parker(shared, deadline);
    raise(result->error());
    return nullptr;
  }
  auto value = std::move(**result);
  lock.unlock();
  tell_parker(shared, deadline);
  try {
    return to_py(std::move(value));
  } catch (...) {
    return PyErr_NoMemory();
  }
}

PyObject* none(Unit) { Py_RETURN_NONE; }
PyObject* texts(std::vector<std::string> v) { return texts_to_py(v); }
PyObject* text(std::string s) { return text_to_py(s); }
PyObject* checkpoint(CheckpointRecord r) { return new_checkpoint(std::move(r)); }

Result<CheckpointRecord> record_of(const Result<const Checkpoint*>& c) {
  if (!c) return fail(c.error());
  return checkpoint_to_py(**c);
}

Result<Unit> unit_of(const Status& s) {
  if (!s) return fail(s.error());
  return Unit{};
}

// Conversions run outside the lock and may allocate; an allocation failure
// there is the host's MemoryError.
#define VESK_CONVERT(expr)         \
  try {                            \
    if (!(expr)) return nullptr;   \
  } catch (...) {                  \
    return PyErr_NoMemory();       \
  }

PyObject* session_mount(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"path", nullptr};
  PyObject* path_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:mount", const_cast<char**>(kw), &path_obj)) {
    return nullptr;
  }
  std::string path;
  VESK_CONVERT(to_utf8(path_obj, "path", &path));
  return with_session(
      self, [&](Session& s) { return s.mount(path); }, texts);
}

PyObject* session_commit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"keys", nullptr};
  PyObject* keys_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:commit", const_cast<char**>(kw), &keys_obj)) {
    return nullptr;
  }
  Keys keys;
  VESK_CONVERT(to_key_list(keys_obj, "keys", &keys));
  return with_session(
      self, [&](Session& s) { return s.commit(keys); }, texts);
}

PyObject* session_diff(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"from_id", "to_id", nullptr};
  PyObject* from_obj = Py_None;
  PyObject* to_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:diff", const_cast<char**>(kw), &from_obj,
                                   &to_obj)) {
    return nullptr;
  }
  // None: the oldest kept checkpoint, which is 0 until forget_before.
  std::optional<std::uint64_t> from_id;
  if (from_obj != Py_None) {
    std::uint64_t v = 0;
    VESK_CONVERT(to_u64(from_obj, "from_id", &v));
    from_id = v;
  }
  std::optional<std::uint64_t> to_id;
  if (to_obj != Py_None) {
    std::uint64_t v = 0;
    VESK_CONVERT(to_u64(to_obj, "to_id", &v));
    to_id = v;
  }
  return with_session(
      self,
      [&](Session& s) {
        return s.diff(from_id.value_or(s.history().checkpoints().front().id),
                      to_id.value_or(s.history().current_id()));
      },
      text);
}

// The keyword arguments every run takes beside its subject.
struct RunArgs {
  PyObject* timeout_ms = Py_None;
  PyObject* cancel_fd = Py_None;
  PyObject* on_output = Py_None;
};

// The RunControl of a run's keyword arguments; false with an exception set
// when one is not acceptable.
bool to_run_control(const RunArgs& args, RunControl* control) {
  if (args.timeout_ms != Py_None) {
    std::uint64_t ms = 0;
    if (!to_u64(args.timeout_ms, "timeout_ms", &ms)) return false;
    control->timeout_ms = ms;
  }
  if (args.cancel_fd != Py_None) {
    const int fd = PyObject_AsFileDescriptor(args.cancel_fd);
    if (fd < 0) return false;
    control->cancel_fd = fd;
  }
  if (args.on_output != Py_None && !PyCallable_Check(args.on_output)) {
    PyErr_SetString(PyExc_TypeError, "on_output must be callable or None");
    return false;
  }
  return true;
}

// Runs a call with the interpreter lock released when the caller gave a
// cancel descriptor, so that the host's other threads (the one that cancels,
// say) go on meanwhile; without one the lock stays held, as for every other
// call. `on_output` is called with the lock held, on this thread. An
// exception it raises is reported as unraisable and the run goes on.
class Unlocked {
 public:
  Unlocked(PyObject* on_output, bool release)
      : on_output_(on_output), state_(release ? PyEval_SaveThread() : nullptr) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }

  // The callback for the core, or an empty one without `on_output`.
  std::function<void(std::string)> callback() {
    if (on_output_ == Py_None) return nullptr;
    return [this](std::string text) {
      if (state_ != nullptr) PyEval_RestoreThread(state_);
      PyObject* arg = text_to_py(text);
      PyObject* result = arg == nullptr ? nullptr : PyObject_CallFunctionObjArgs(on_output_, arg, nullptr);
      if (result == nullptr) PyErr_WriteUnraisable(on_output_);
      Py_XDECREF(result);
      Py_XDECREF(arg);
      if (state_ != nullptr) state_ = PyEval_SaveThread();
    };
  }

 private:
  PyObject* on_output_;
  PyThreadState* state_;  // null while the lock is held
};

PyObject* session_install(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"package", "timeout_ms", "cancel_fd", nullptr};
  PyObject* package_obj;
  RunArgs run;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:install", const_cast<char**>(kw),
                                   &package_obj, &run.timeout_ms, &run.cancel_fd)) {
    return nullptr;
  }
  std::string package;
  VESK_CONVERT(to_utf8(package_obj, "package", &package));
  RunControl control;
  VESK_CONVERT(to_run_control(run, &control));
  return with_session(
      self,
      [&](Session& s) {
        Unlocked unlocked(Py_None, control.cancel_fd >= 0);
        return unit_of(s.install(package, control));
      },
      none, raise_run_error);
}

PyObject* session_execute_python(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"code", "timeout_ms", "cancel_fd", "on_output", nullptr};
  PyObject* code_obj;
  RunArgs run;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:execute_python", const_cast<char**>(kw),
                                   &code_obj, &run.timeout_ms, &run.cancel_fd, &run.on_output)) {
    return nullptr;
  }
  std::string code;
  VESK_CONVERT(to_utf8(code_obj, "code", &code));
  RunControl control;
  VESK_CONVERT(to_run_control(run, &control));
  return with_session(
      self,
      [&](Session& s) {
        Unlocked unlocked(run.on_output, control.cancel_fd >= 0);
        return record_of(s.execute_python(code, unlocked.callback(), control));
      },
      checkpoint, raise_run_error);
}

PyObject* session_execute_bash(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"command", "timeout_ms", "cancel_fd", "on_output", nullptr};
  PyObject* command_obj;
  RunArgs run;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:execute_bash", const_cast<char**>(kw),
                                   &command_obj, &run.timeout_ms, &run.cancel_fd,
                                   &run.on_output)) {
    return nullptr;
  }
  std::string command;
  VESK_CONVERT(to_utf8(command_obj, "command", &command));
  RunControl control;
  VESK_CONVERT(to_run_control(run, &control));
  return with_session(
      self,
      [&](Session& s) {
        Unlocked unlocked(run.on_output, control.cancel_fd >= 0);
        return record_of(s.execute_bash(command, unlocked.callback(), control));
      },
      checkpoint, raise_run_error);
}

PyObject* session_write_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"path", "content", nullptr};
  PyObject* path_obj;
  PyObject* content_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:write_file", const_cast<char**>(kw),
                                   &path_obj, &content_obj)) {
    return nullptr;
  }
  std::string path, content;
  VESK_CONVERT(to_utf8(path_obj, "path", &path));
  VESK_CONVERT(to_bytes(content_obj, "content", &content));
  return with_session(
      self, [&](Session& s) { return unit_of(s.write_file(path, std::move(content))); }, none);
}

PyObject* session_delete_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"path", nullptr};
  PyObject* path_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:delete_file", const_cast<char**>(kw),
                                   &path_obj)) {
    return nullptr;
  }
  std::string path;
  VESK_CONVERT(to_utf8(path_obj, "path", &path));
  return with_session(
      self, [&](Session& s) { return record_of(s.delete_file(path)); }, checkpoint);
}

PyObject* session_export(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"output_dir", "keys", nullptr};
  PyObject* dir_obj;
  PyObject* keys_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:export", const_cast<char**>(kw), &dir_obj,
                                   &keys_obj)) {
    return nullptr;
  }
  std::string output_dir;
  Keys keys;
  VESK_CONVERT(to_utf8(dir_obj, "output_dir", &output_dir));
  VESK_CONVERT(to_key_list(keys_obj, "keys", &keys));
  return with_session(
      self, [&](Session& s) { return s.export_files(output_dir, keys); }, texts);
}

PyObject* session_set_label(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"label", nullptr};
  PyObject* label_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_label", const_cast<char**>(kw),
                                   &label_obj)) {
    return nullptr;
  }
  std::string label;
  VESK_CONVERT(to_utf8(label_obj, "label", &label));
  return with_session(
      self,
      [&](Session& s) -> Result<Unit> {
        s.set_label(std::move(label));
        return Unit{};
      },
      none);
}

PyObject* session_set_checkpoint_label(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"checkpoint_id", "label", nullptr};
  PyObject* id_obj;
  PyObject* label_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:set_checkpoint_label",
                                   const_cast<char**>(kw), &id_obj, &label_obj)) {
    return nullptr;
  }
  std::uint64_t id = 0;
  std::string label;
  VESK_CONVERT(to_u64(id_obj, "checkpoint_id", &id));
  VESK_CONVERT(to_utf8(label_obj, "label", &label));
  return with_session(
      self, [&](Session& s) { return unit_of(s.set_checkpoint_label(id, std::move(label))); },
      none);
}

PyObject* session_rollback(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"id", nullptr};
  PyObject* id_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:rollback", const_cast<char**>(kw), &id_obj)) {
    return nullptr;
  }
  std::uint64_t id = 0;
  VESK_CONVERT(to_u64(id_obj, "id", &id));
  return with_session(
      self, [&](Session& s) { return unit_of(s.rollback(id)); }, none);
}

PyObject* session_forget_before(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"id", "keep_labelled", nullptr};
  PyObject* id_obj;
  int keep_labelled = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:forget_before", const_cast<char**>(kw),
                                   &id_obj, &keep_labelled)) {
    return nullptr;
  }
  std::uint64_t id = 0;
  VESK_CONVERT(to_u64(id_obj, "id", &id));
  return with_session(
      self, [&](Session& s) { return unit_of(s.forget_before(id, keep_labelled != 0)); }, none);
}

PyObject* session_labels(PyObject* self, PyObject*) {
  return with_session(
      self,
      [](Session& s) -> Result<std::vector<std::pair<std::uint64_t, std::string>>> {
        return s.history().labels();
      },
      [](std::vector<std::pair<std::uint64_t, std::string>> labels) -> PyObject* {
        PyRef dict(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& [id, label] : labels) {
          PyRef key(PyLong_FromUnsignedLongLong(id));
          PyRef value(text_to_py(label));
          if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            return nullptr;
          }
        }
        return dict.release();
      });
}

// Ends the session at once: its runner is killed, its directories removed
// and its history released, under the lock, so that neither a call nor the
// parker ever sees it half gone. Closing again does nothing.
PyObject* session_close(PyObject* self, PyObject*) {
  const std::shared_ptr<SessionSlot>& shared = *reinterpret_cast<SessionObject*>(self)->slot;
  {
    std::unique_lock<std::mutex> lock;
    lock_slot(*shared, lock);
    if (!shared->session) Py_RETURN_NONE;
    std::unique_ptr<Session> session = std::move(shared->session);
    shared->scheduled.reset();
    // Removing a large work directory takes a while; the host's other
    // threads go on meanwhile.
    Py_BEGIN_ALLOW_THREADS
    session.reset();
    Py_END_ALLOW_THREADS
  }
  try {
    schedule_parking(shared, std::nullopt);
  } catch (...) {
  }
  Py_RETURN_NONE;
}

PyObject* session_enter(PyObject* self, PyObject*) {
  return with_session(
      self, [](Session&) -> Result<Unit> { return Unit{}; },
      [self](Unit) {
        Py_INCREF(self);
        return self;
      });
}

PyObject* session_exit(PyObject* self, PyObject*) {
  PyRef closed(session_close(self, nullptr));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

// Test and benchmark hooks, outside the documented surface: park now
// ("parked", or why not), damage the kept image, the kept image's size.
PyObject* session_park(PyObject* self, PyObject*) {
  return with_session(
      self,
      [](Session& s) -> Result<std::string> {
        Result<Session::ParkResult> r = s.park();
        if (!r) return fail(r.error());
        switch (r->kind) {
          case Session::ParkResult::Kind::kParked: return std::string("parked");
          case Session::ParkResult::Kind::kRefused: return std::move(r->refusal);
          case Session::ParkResult::Kind::kNothing: break;
        }
        return std::string("no live runner, or parking is off");
      },
      text);
}

PyObject* session_damage_parked_image(PyObject* self, PyObject* arg) {
  const int keep_frame = PyObject_IsTrue(arg);
  if (keep_frame < 0) return nullptr;
  return with_session(
      self,
      [&](Session& s) -> Result<Unit> {
        s.damage_parked_image_for_testing(keep_frame != 0);
        return Unit{};
      },
      none);
}

// The store's side (session.h, durability): outside the documented surface,
// for the server's store. Digests are 32 bytes; rows and parts opaque bytes.
PyObject* bytes_of(std::string_view b) {
  return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}

PyObject* session_journal(PyObject* self, PyObject*) {
  return with_session(
      self, [](Session& s) { return s.journal(); },
      [](Session::StoreChanges c) -> PyObject* {
        const SessionJournal& j = c.journal;
        PyRef dropped(PyList_New(0));
        PyRef written(PyList_New(0));
        PyRef contents(PyList_New(0));
        if (!dropped || !written || !contents) return nullptr;
        for (std::uint64_t id : j.dropped) {
          PyRef v(PyLong_FromUnsignedLongLong(id));
          if (!v || PyList_Append(dropped.get(), v.get()) < 0) return nullptr;
        }
        for (const JournalCheckpoint& row : j.written) {
          PyRef item(Py_BuildValue("(KN)", static_cast<unsigned long long>(row.id),
                                   bytes_of(encode_journal_row(row))));
          if (!item || PyList_Append(written.get(), item.get()) < 0) return nullptr;
        }
        for (const auto& [digest, content] : j.contents) {
          PyRef d(bytes_of(std::string_view(reinterpret_cast<const char*>(digest.data()),
                                            digest.size())));
          if (!d || PyList_Append(contents.get(), d.get()) < 0) return nullptr;
        }
        PyRef parts(c.parts ? bytes_of(*c.parts) : Py_NewRef(Py_None));
        if (!parts) return nullptr;
        return Py_BuildValue("{sOsOsOsKsO}", "dropped", dropped.get(), "written", written.get(),
                             "contents", contents.get(), "current_id",
                             static_cast<unsigned long long>(j.current_id), "parts", parts.get());
      });
}

PyObject* session_journal_written(PyObject* self, PyObject*) {
  return with_session(
      self,
      [](Session& s) -> Result<Unit> {
        s.journal_written();
        return Unit{};
      },
      none);
}

bool to_digest(PyObject* value, ContentDigest* out) {
  std::string bytes;
  if (!to_bytes(value, "digest", &bytes)) return false;
  if (bytes.size() != out->size()) {
    PyErr_SetString(PyExc_ValueError, "a digest is 32 bytes");
    return false;
  }
  std::memcpy(out->data(), bytes.data(), out->size());
  return true;
}

PyObject* session_journal_content(PyObject* self, PyObject* arg) {
  ContentDigest digest{};
  VESK_CONVERT(to_digest(arg, &digest));
  return with_session(
      self, [&](Session& s) -> Result<Content> { return s.journal_content(digest); },
      [](Content c) -> PyObject* {
        if (!c) Py_RETURN_NONE;
        return bytes_of(*c);
      });
}

PyObject* session_image(PyObject* self, PyObject*) {
  return with_session(
      self, [](Session& s) { return s.image_blob(); },
      [](std::optional<std::string> blob) -> PyObject* {
        if (!blob) Py_RETURN_NONE;
        return bytes_of(*blob);
      });
}

template <class Make>
PyObject* new_session_object(PyTypeObject* type, Make&& make);

// _from_store(current_id, rows, parts, content, image=None, expanded=False):
// `content` is called with a digest and gives its bytes or None; `image` is
// an _image() blob, or with `expanded` the image itself (_image_of_blob).
PyObject* session_from_store(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"current_id", "rows", "parts", "content", "image", "expanded",
                             nullptr};
  PyObject* id_obj;
  PyObject* rows_obj;
  PyObject* parts_obj;
  PyObject* content_obj;
  PyObject* image_obj = Py_None;
  int expanded = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|Op:_from_store", const_cast<char**>(kw),
                                   &id_obj, &rows_obj, &parts_obj, &content_obj, &image_obj,
                                   &expanded)) {
    return nullptr;
  }
  std::uint64_t current_id = 0;
  VESK_CONVERT(to_u64(id_obj, "current_id", &current_id));
  std::vector<std::string> rows;
  {
    PyRef seq(PySequence_Fast(rows_obj, "rows must be a sequence of bytes"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Size(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyRef item(PySequence_GetItem(seq.get(), i));
      if (!item) return nullptr;
      VESK_CONVERT(to_bytes(item.get(), "rows[]", &rows.emplace_back()));
    }
  }
  std::string parts;
  VESK_CONVERT(to_bytes(parts_obj, "parts", &parts));
  std::optional<std::string> image;
  if (image_obj != Py_None && expanded && PyList_Check(image_obj)) {
    // An expanded image's pieces, joined here: one copy of it fewer.
    std::vector<std::string_view> pieces;
    std::size_t total = 0;
    for (Py_ssize_t i = 0, n = PyList_Size(image_obj); i < n; ++i) {
      PyObject* piece = PyList_GetItem(image_obj, i);
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (piece == nullptr || !PyBytes_Check(piece) ||
          PyBytes_AsStringAndSize(piece, &data, &size) != 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "image must be bytes or a list of bytes");
        return nullptr;
      }
      pieces.emplace_back(data, static_cast<std::size_t>(size));
      total += pieces.back().size();
    }
    image.emplace().reserve(total);
    for (std::string_view piece : pieces) image->append(piece);
  } else if (image_obj != Py_None) {
    VESK_CONVERT(to_bytes(image_obj, "image", &image.emplace()));
  }
  const auto lookup = [&](const ContentDigest& d) -> Content {
    if (PyErr_Occurred() != nullptr) return nullptr;
    PyRef key(bytes_of(std::string_view(reinterpret_cast<const char*>(d.data()), d.size())));
    if (!key) return nullptr;
    PyRef got(PyObject_CallFunctionObjArgs(content_obj, key.get(), nullptr));
    if (!got || got.get() == Py_None) return nullptr;
    std::string bytes;
    if (!to_bytes(got.get(), "content()", &bytes)) return nullptr;
    return make_content(std::move(bytes));
  };
  auto engine = VeskEngine::create(Config::load());
  if (!engine) {
    raise_error(engine.error());
    return nullptr;
  }
  Result<std::unique_ptr<Session>> made =
      Session::from_store(*engine, current_id, rows, parts, lookup, std::move(image),
                          expanded != 0);
  if (PyErr_Occurred() != nullptr) return nullptr;
  return new_session_object(reinterpret_cast<PyTypeObject*>(cls),
                            [&]() { return std::move(made); });
}

PyObject* session_get_parked_size(PyObject* self, void*) {
  return with_session(
      self, [](Session& s) -> Result<std::size_t> { return s.parked_bytes(); },
      [](std::size_t n) { return PyLong_FromSize_t(n); });
}

PyObject* session_get_history_bytes(PyObject* self, void*) {
  return with_session(
      self, [](Session& s) -> Result<std::uint64_t> { return s.history().held_bytes(); },
      [](std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); });
}

PyObject* session_get_current(PyObject* self, void*) {
  return with_session(
      self, [](Session& s) -> Result<CheckpointRecord> { return checkpoint_to_py(s.current()); },
      checkpoint);
}

PyObject* session_get_session_label(PyObject* self, void*) {
  return with_session(
      self, [](Session& s) -> Result<std::optional<std::string>> { return s.label(); },
      [](std::optional<std::string> label) -> PyObject* {
        if (!label) Py_RETURN_NONE;
        return text_to_py(*label);
      });
}

PyObject* session_get_history(PyObject* self, void*) {
  return with_session(
      self,
      [](Session& s) -> Result<std::vector<CheckpointRecord>> {
        std::vector<CheckpointRecord> records;
        records.reserve(s.history().size());
        for (const Checkpoint& c : s.history().checkpoints()) records.push_back(checkpoint_to_py(c));
        return records;
      },
      [](std::vector<CheckpointRecord> records) -> PyObject* {
        PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < records.size(); ++i) {
          PyObject* item = new_checkpoint(std::move(records[i]));
          if (item == nullptr) return nullptr;
          PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
      });
}

// A new host object of `type` for the session that `make` (-> Result of a
// session) gives.
template <class Make>
PyObject* new_session_object(PyTypeObject* type, Make&& make) {
  std::unique_ptr<std::shared_ptr<SessionSlot>> slot;
  std::optional<ParkClock::time_point> deadline;
  try {
    Result<std::unique_ptr<Session>> session = make();
    if (!session) {
      raise_error(session.error());
      return nullptr;
    }
    slot = std::make_unique<std::shared_ptr<SessionSlot>>(std::make_shared<SessionSlot>());
    (*slot)->session = std::move(*session);
    deadline = news_for_parker(**slot);
  } catch (...) {
    raise_error(error_from_current_exception());
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // the slot goes, and its runner with it
  tell_parker(*slot, deadline);
  reinterpret_cast<SessionObject*>(self)->slot = slot.release();
  return self;
}

Result<std::unique_ptr<Session>> engine_session(
    const std::function<Result<std::unique_ptr<Session>>(const VeskEngine&)>& make) {
  auto engine = VeskEngine::create(Config::load());
  if (!engine) return fail(engine.error());
  return make(*engine);
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "VeskSession() takes no arguments");
    return nullptr;
  }
  return new_session_object(type, [] {
    return engine_session([](const VeskEngine& e) { return Session::create(e); });
  });
}

// load(path): a classmethod; the new session is of the class it is called on.
PyObject* session_load(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"path", nullptr};
  PyObject* path_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:load", const_cast<char**>(kw), &path_obj)) {
    return nullptr;
  }
  std::string path;
  VESK_CONVERT(to_fs_path(path_obj, &path));
  return new_session_object(reinterpret_cast<PyTypeObject*>(cls), [&] {
    return engine_session([&](const VeskEngine& e) { return Session::load(e, path); });
  });
}

PyObject* session_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"path", "interpreter", nullptr};
  PyObject* path_obj;
  int interpreter = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:save", const_cast<char**>(kw), &path_obj,
                                   &interpreter)) {
    return nullptr;
  }
  std::string path;
  VESK_CONVERT(to_fs_path(path_obj, &path));
  return with_session(
      self,
      [&](Session& s) { return s.save(path, interpreter != 0); },
      [](bool imaged) { return PyBool_FromLong(imaged ? 1 : 0); });
}

PyObject* session_fork(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"id", nullptr};
  PyObject* id_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:fork", const_cast<char**>(kw), &id_obj)) {
    return nullptr;
  }
  std::optional<std::uint64_t> id;
  if (id_obj != Py_None) {
    std::uint64_t v = 0;
    VESK_CONVERT(to_u64(id_obj, "id", &v));
    id = v;
  }
  // The fork is made under this session's lock, then wrapped outside it.
  std::unique_ptr<Session> forked;
  PyRef done(with_session(
      self,
      [&](Session& s) -> Result<Unit> {
        Result<std::unique_ptr<Session>> r = s.fork(id);
        if (!r) return fail(r.error());
        forked = std::move(*r);
        return Unit{};
      },
      none));
  if (!done) return nullptr;
  return new_session_object(Py_TYPE(self), [&]() -> Result<std::unique_ptr<Session>> {
    return std::move(forked);
  });
}

void session_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::shared_ptr<SessionSlot>* slot = reinterpret_cast<SessionObject*>(self)->slot;
  // The parker forgets it (it may still be asking it: see below).
  try {
    schedule_parking(*slot, std::nullopt);
  } catch (...) {
  }
  {
    // Dropped here, on the host's thread, once a park in progress is over;
    // dropping the session kills its runner without waiting for it.
    std::unique_ptr<Session> session;
    {
      std::unique_lock<std::mutex> lock;
      lock_slot(**slot, lock);
      session = std::move((*slot)->session);
    }
  }
  delete slot;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

#define VESK_METHOD(name, fn, signature)                                           \
  {                                                                               \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),        \
        METH_VARARGS | METH_KEYWORDS, signature "\n--\n\n"                        \
  }

PyMethodDef kMethods[] = {
    VESK_METHOD("mount", session_mount, "mount($self, path)"),
    VESK_METHOD("commit", session_commit, "commit($self, keys)"),
    VESK_METHOD("diff", session_diff, "diff($self, from_id=None, to_id=None)"),
    VESK_METHOD("install", session_install,
                "install($self, package, *, timeout_ms=None, cancel_fd=None)"),
    VESK_METHOD("execute_python", session_execute_python,
                "execute_python($self, code, *, timeout_ms=None, cancel_fd=None, on_output=None)"),
    VESK_METHOD("execute_bash", session_execute_bash,
                "execute_bash($self, command, *, timeout_ms=None, cancel_fd=None, on_output=None)"),
    VESK_METHOD("write_file", session_write_file, "write_file($self, path, content)"),
    VESK_METHOD("delete_file", session_delete_file, "delete_file($self, path)"),
    VESK_METHOD("export", session_export, "export($self, output_dir, keys=None)"),
    VESK_METHOD("set_label", session_set_label, "set_label($self, label)"),
    VESK_METHOD("set_checkpoint_label", session_set_checkpoint_label,
                "set_checkpoint_label($self, checkpoint_id, label)"),
    VESK_METHOD("rollback", session_rollback, "rollback($self, id)"),
    VESK_METHOD("forget_before", session_forget_before,
                "forget_before($self, id, *, keep_labelled=False)"),
    VESK_METHOD("save", session_save, "save($self, path, interpreter=True)"),
    VESK_METHOD("fork", session_fork, "fork($self, id=None)"),
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_load)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, "load($cls, path)\n--\n\n"},
    {"labels", session_labels, METH_NOARGS, "labels($self)\n--\n\n"},
    {"close", session_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", session_enter, METH_NOARGS, nullptr},
    {"__exit__", session_exit, METH_VARARGS, nullptr},
    {"_park", session_park, METH_NOARGS, nullptr},
    {"_damage_parked_image", session_damage_parked_image, METH_O, nullptr},
    {"_journal", session_journal, METH_NOARGS, nullptr},
    {"_journal_written", session_journal_written, METH_NOARGS, nullptr},
    {"_journal_content", session_journal_content, METH_O, nullptr},
    {"_image", session_image, METH_NOARGS, nullptr},
    {"_from_store", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_from_store)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"current", session_get_current, nullptr, "", nullptr},
    {"history", session_get_history, nullptr, "", nullptr},
    {"history_bytes", session_get_history_bytes, nullptr, "", nullptr},
    {"session_label", session_get_session_label, nullptr, "", nullptr},
    {"_parked_size", session_get_parked_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("VeskSession()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "vesk_internal.VeskSession",
    sizeof(SessionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* create_session_type() { return PyType_FromSpec(&kSpec); }

}  // namespace vesk::py
