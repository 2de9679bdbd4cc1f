// Workspace keys: the lexical rules a key must meet when a caller names a new
// file (write_file, export) and before a key becomes a path on disk
// (materialize). Keys are stored byte for byte and never normalised; these
// rules never consult the file system.
#ifndef VESK_CORE_KEY_H_
#define VESK_CORE_KEY_H_

#include <string_view>

#include "core/error.h"

namespace vesk {

// Fails with "workspace key must not be empty", "workspace key must be a
// relative path: '{key}'" (a leading root comes first) or "workspace key must
// not contain '..': '{key}'". Components are split the Unix way: runs of '/'
// count as one, a trailing '/' is ignored, '.' components are dropped except
// as the very first. Names merely containing dots (a..b, ...) are ordinary.
Status validate_file_path(std::string_view key);

}  // namespace vesk

#endif  // VESK_CORE_KEY_H_
