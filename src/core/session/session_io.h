// Reading and writing whole session files on the host.
//
// A file is replaced atomically: the bytes go to a new file beside it
// (mode 0600: a session's files are private), which is synced, then renamed
// over the path, and the directory is synced, so that a crash at any moment
// leaves either the old file or the new one, never a mix. Errors are plain
// messages naming the path and the operating system's reason.
#ifndef VESK_CORE_SESSION_SESSION_IO_H_
#define VESK_CORE_SESSION_SESSION_IO_H_

#include <string>
#include <string_view>

#include "core/base/error.h"

namespace vesk {

// "could not write '{path}': {reason}". A temporary file left by a failure
// is removed.
Status write_file_atomically(std::string_view path, std::string_view bytes);

// The bytes of the regular file at `path` (followed if a link); "could not
// read '{path}': {reason}", or "could not read '{path}': not a regular file"
// (a FIFO or device could block or never end).
Result<std::string> read_whole_file(std::string_view path);

}  // namespace vesk

#endif  // VESK_CORE_SESSION_SESSION_IO_H_
