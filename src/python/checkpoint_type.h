// VeskCheckpoint: the host's immutable picture of one checkpoint (id,
// captured output, files). Instances come only from a session; the class has
// no constructor.
//
// A record is a copy in meaning, not in bytes: it shares the checkpoint's
// file map (a persistent trie, so taking it is O(1) and nothing the session
// does later, a mount into the current checkpoint included, changes the
// version the record holds) and its output texts, all immutable and counted
// atomically. It refers to no session and outlives it. Contents are copied
// only when `files` is read, into a new dict of new bytes objects each time.
#ifndef VESK_PYTHON_CHECKPOINT_TYPE_H_
#define VESK_PYTHON_CHECKPOINT_TYPE_H_

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/history/checkpoint.h"
#include "core/history/file_map.h"

namespace vesk::py {

// What a VeskCheckpoint holds: shared references to immutable data, so it
// stays valid and unchanged whatever the session does afterwards.
struct CheckpointRecord {
  SharedText stdout_text;
  SharedText stderr_text;
  FileMap files;
  std::uint64_t id = 0;
  std::optional<int> exit_code;
};

// The record of a core checkpoint: O(1), no content copied. Needs no
// interpreter state; called with the session lock held. Cannot fail.
CheckpointRecord checkpoint_to_py(const Checkpoint& checkpoint) noexcept;

// Creates the class from its spec; a new reference, or null with an error.
PyObject* create_checkpoint_type();

// A new VeskCheckpoint holding `record`; null with an error set on failure.
PyObject* new_checkpoint(CheckpointRecord record);

}  // namespace vesk::py

#endif  // VESK_PYTHON_CHECKPOINT_TYPE_H_
