// Workspace keys: the lexical rules a key must meet when a caller names a new
// file (write_file, export) and before a key becomes a path on disk
// (materialize), the stricter form of keys that arrive from a run, and the
// test that a whole workspace can be laid out as a directory tree. Keys are
// stored byte for byte and never normalised; nothing here consults the file
// system.
#ifndef VESK_CORE_HISTORY_KEY_H_
#define VESK_CORE_HISTORY_KEY_H_

#include <string>
#include <string_view>

#include "core/base/error.h"
#include "core/history/file_map.h"

namespace vesk {

// Fails with "workspace key must not be empty", "workspace key must be a
// relative path: '{key}'" (a leading root comes first) or "workspace key must
// not contain '..': '{key}'". Components are split the Unix way: runs of '/'
// count as one, a trailing '/' is ignored, '.' components are dropped except
// as the very first. Names merely containing dots (a..b, ...) are ordinary.
Status validate_file_path(std::string_view key);

// True when `key` is a plain relative path as a file system names its files:
// not empty, no NUL byte, components separated by single '/', none of them
// empty, "." or "..", no leading or trailing '/'. Keys that a run reports
// must have this form, so that two of them never name the same file.
bool is_canonical_key(std::string_view key);

// Fails with "the run reported a file name that is not a plain relative
// path: '{key}'" unless is_canonical_key(key).
Status check_run_key(std::string_view key);

// `key` as a message shows it: a NUL byte becomes "\0". Pure.
std::string shown_key(std::string_view key);

// Whether every key of `files` can be a file of one directory tree at the
// same time. Fails, naming the first offending key in byte order, with:
//   a key rule's message (validate_file_path);
//   "workspace key '{key}' holds a NUL byte; delete it";
//   "workspace key '{key}' does not name a file; delete it" (".", "a/", "a/.");
//   "workspace key '{key}' has a name longer than 255 bytes; delete it";
//   "workspace keys '{a}' and '{b}' name the same file; delete one of them"
//     ("a" and "./a", "a//b" and "a/b");
//   "workspace key '{a}' is a file, but '{b}' needs it to be a directory;
//     delete one of them" ("config" and "config/settings.toml").
// Pure; costs a sort of the keys and a hash set of their paths.
Status check_layout(const FileMap& files);

}  // namespace vesk

#endif  // VESK_CORE_HISTORY_KEY_H_
