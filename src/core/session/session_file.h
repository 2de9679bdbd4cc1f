// Session files: the saved state of a session as one byte string, and back.
//
// encode_session() writes what a session would need to go on elsewhere: its
// whole history (ids, output, exit codes, labels, file maps), the current
// position, the session's label, its mount origins and installed packages,
// and optionally the compressed image of its interpreter. decode_session()
// gives it back, or an error naming what is wrong; it never returns part of
// a file. Both are pure: the caller reads and writes the file (session.h).
//
// Layout (integers little-endian):
//   header  "VESKSESS", u32 version (1), u32 0, u64 body length,
//           32-byte SHA-256 of the body
//   body    session label           opt<str>
//           contents                u64 n, then n x (32-byte SHA-256, str)
//           first files             opt<map>: checkpoint 0's files once it
//                                   was forgotten (commit compares with them)
//           checkpoints             u64 n, then n x (u64 id, str stdout,
//                                   str stderr, opt<str> label,
//                                   opt<i32> exit code, map as a change of
//                                   the previous checkpoint's)
//           current id              u64
//           packages                u64 n, then n x (str, opt<map>)
//           mount origins           u64 n, then n x (str key, str root,
//                                   str relative, u64 content)
//           image                   opt<(u64 size, str compressed)>
//   str = u64 length + bytes; opt<T> = u8 0, or u8 1 + T; a map is
//   u64 removed count + keys, then u64 set count + (key, u64 content);
//   a content is an index into the contents.
// Every distinct content is stored once, by its SHA-256, whatever holds it.
// A checkpoint's map is written as its change from the previous one, so a
// long history over a large workspace costs about its distinct contents and
// what each step changed, and decoding rebuilds maps that share structure
// as the originals did.
//
// Errors (plain messages): "not a vesk session file"; "session file version
// {n} is not supported (this build reads 1)"; "session file is truncated";
// "session file is damaged: checksum mismatch"; "session file is damaged:
// content of '{key}' does not match its hash"; "session file is damaged:
// {what}" for any other inconsistency (only a forged file gets past the
// checksum with one).
#ifndef VESK_CORE_SESSION_SESSION_FILE_H_
#define VESK_CORE_SESSION_SESSION_FILE_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/history/checkpoint.h"
#include "core/base/error.h"
#include "core/history/file_map.h"
#include "core/exchange/mount.h"
#include "core/runner/park_image.h"
#include "core/runner/runner.h"

namespace vesk {

inline constexpr std::uint32_t kSessionFileVersion = 1;

// What a session is, apart from its processes.
struct SavedSession {
  std::vector<Checkpoint> checkpoints;  // oldest first, ids increasing
  std::uint64_t current_id = 0;
  // Checkpoint 0's files when checkpoint 0 is no longer among `checkpoints`.
  std::optional<FileMap> first_files;
  std::optional<std::string> label;
  std::vector<PackageRecord> packages;
  MountOrigins origins;
  std::optional<ParkImage> image;
};

using ContentDigest = std::array<unsigned char, 32>;

// The SHA-256 of `bytes`: a content's name in files and stores, where two
// different contents must never share one.
ContentDigest content_digest(std::string_view bytes);

// The file's bytes. Throws only std::bad_alloc.
std::string encode_session(const SavedSession& session);

// The session `bytes` hold; errors as above.
Result<SavedSession> decode_session(std::string_view bytes);

}  // namespace vesk

#endif  // VESK_CORE_SESSION_SESSION_FILE_H_
