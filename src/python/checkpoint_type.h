// VeskCheckpoint: the host's immutable, self-contained picture of one
// checkpoint (id, captured output, files). Instances come only from a
// session; the class has no constructor. Each holds its own copy of
// everything and refers to no session.
#ifndef VESK_PYTHON_CHECKPOINT_TYPE_H_
#define VESK_PYTHON_CHECKPOINT_TYPE_H_

#include <Python.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/checkpoint.h"

namespace vesk::py {

// What a VeskCheckpoint holds: copies, so it stays valid and unchanged
// whatever the session does afterwards.
struct CheckpointRecord {
  std::string stdout_text;
  std::string stderr_text;
  std::vector<std::pair<std::string, std::string>> files;
  std::uint64_t id = 0;
};

// Copies a core checkpoint (contents included). Needs no interpreter state;
// called with the session lock held. May throw std::bad_alloc.
CheckpointRecord checkpoint_to_py(const Checkpoint& checkpoint);

// Creates the class from its spec; a new reference, or null with an error.
PyObject* create_checkpoint_type();

// A new VeskCheckpoint holding `record`; null with an error set on failure.
PyObject* new_checkpoint(CheckpointRecord record);

}  // namespace vesk::py

#endif  // VESK_PYTHON_CHECKPOINT_TYPE_H_
