// Conversions between Python values and core values at the module boundary.
//
// Argument conversions return false with a Python exception set when the
// value is not acceptable: a value of the wrong type is a TypeError naming the
// parameter, what it takes and what it got ("content must be bytes, not str";
// an element of a sequence as "keys[2] must be str, not int"). Other
// exceptions (OverflowError, UnicodeEncodeError, MemoryError, and whatever a
// sequence's own methods raise) pass through unchanged.
//
// All functions need the interpreter lock.
#ifndef VESK_PYTHON_CONVERT_H_
#define VESK_PYTHON_CONVERT_H_

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/base/error.h"

namespace vesk::py {

// str (or a subclass) to UTF-8 text; lone surrogates fail with the host's
// UnicodeEncodeError.
bool to_utf8(PyObject* value, const char* name, std::string* out);

// A file system path: str, bytes or os.PathLike, as the host's os functions
// take it (str in the file system encoding, surrogate escapes included).
bool to_fs_path(PyObject* value, std::string* out);

// Anything the host accepts as an index, to an unsigned 64-bit value; a
// negative or too large value fails with the host's OverflowError.
bool to_u64(PyObject* value, const char* name, std::uint64_t* out);

// bytes, bytearray (or subclasses), or a sequence of ints 0..255 (an int
// out of range is an OverflowError). A str is refused like any non-sequence.
bool to_bytes(PyObject* value, const char* name, std::string* out);

// None (no selection) or a sequence of str; a str is refused.
bool to_key_list(PyObject* value, const char* name,
                 std::optional<std::vector<std::string>>* out);

// A new str from UTF-8 text; invalid sequences become U+FFFD.
PyObject* text_to_py(const std::string& text);

// A new list of str.
PyObject* texts_to_py(const std::vector<std::string>& texts);

// Raises the Python exception for a core error: RuntimeError with exactly its
// message, or the internal-fault exception for an internal fault.
void raise_error(const Error& error);

// As raise_error, for the failure of a run (execute_python, execute_bash,
// install): the RuntimeError carries `stdout` and `stderr` (the output
// captured before the failure) and `interpreter_reset`; when that is True
// its message gains the line "the interpreter was restarted; its variables
// and imports are gone".
void raise_run_error(const Error& error);

// Raises the internal-fault exception (a BaseException subclass, not an
// Exception) with `message`.
void raise_internal_fault(const char* message);

// The internal-fault exception class, created on first use; borrowed.
PyObject* internal_fault_type();

}  // namespace vesk::py

#endif  // VESK_PYTHON_CONVERT_H_
