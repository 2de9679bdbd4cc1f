// Checkpoints, the content hash and the blob store.
//
// A Checkpoint is one immutable state of a session's workspace: its id in
// the history, the output of the run that made it, an optional label, and
// the complete file map. The BlobStore makes equal contents one object: it
// maps a content hash to a weak reference, so it never keeps a content alive;
// contents live as long as some file map holds them.
#ifndef VESK_CORE_HISTORY_CHECKPOINT_H_
#define VESK_CORE_HISTORY_CHECKPOINT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/history/file_map.h"

namespace vesk {

// An immutable text shared by reference count (atomic, so any thread holding
// one may read it): a checkpoint's captured output, held once by the history
// and by every record handed out of it, however large the output was.
class SharedText {
 public:
  SharedText() = default;
  // Takes `text` over; an empty text allocates nothing.
  SharedText(std::string text)  // NOLINT(google-explicit-constructor)
      : text_(text.empty() ? nullptr : std::make_shared<const std::string>(std::move(text))) {}

  const std::string& str() const { return text_ ? *text_ : empty_text(); }
  operator const std::string&() const { return str(); }  // NOLINT(google-explicit-constructor)
  bool empty() const { return !text_; }
  std::size_t size() const { return str().size(); }

  friend bool operator==(const SharedText& a, std::string_view b) { return a.str() == b; }
  friend std::ostream& operator<<(std::ostream& out, const SharedText& t) {
    return out << t.str();
  }

 private:
  static const std::string& empty_text() {
    static const std::string* const empty = new std::string();
    return *empty;
  }
  std::shared_ptr<const std::string> text_;  // null when empty
};

struct Checkpoint {
  std::uint64_t id = 0;     // stable; in order of making, the first is 0
  SharedText stdout_text;   // output of the run that made it; empty for edits
  SharedText stderr_text;
  std::optional<std::string> label;
  // The exit status of the shell command that made it (128+N for one ended
  // by signal N, as `sh` reports it); empty for every other checkpoint.
  std::optional<int> exit_code;
  FileMap files;            // the complete workspace
  // Set once check_layout() has passed for `files`; a mount, which changes
  // `files` in place, clears it. Only a cache: it changes no result.
  bool layout_checked = false;
};

// SipHash-1-3 with both keys 0 over the length (64-bit little-endian)
// followed by the bytes. Only ever a blob-store key; never shown or stored.
std::uint64_t file_content_hash(std::string_view bytes);

class BlobStore {
 public:
  // The stored content if a live one has the same bytes (the given bytes are
  // released at once), otherwise a new content that takes over the entry for
  // its hash. A hash collision keeps both contents valid; the later one wins
  // the entry.
  Content intern_bytes(std::string bytes);

  // The same keys with every content interned: a content equal to a stored
  // live one is replaced by it, any other takes over its hash's entry.
  // `base`, when given, is the map the files were made from (a run's starting
  // workspace): a content byte-equal to the base's content under the same key
  // takes that content at the cost of a comparison, without being hashed.
  FileMap intern_file_map(FileMap files, const FileMap* base = nullptr);

  // The stored live content equal to `content`, or `content` itself, which
  // then takes over its hash's entry (a content not yet held by any map:
  // one read from a saved file, say).
  Content intern_shared(const Content& content);

  // Entries, dead ones included: a dead entry stays until its hash is reused
  // or the next sweep (see below).
  std::size_t entry_count() const { return entries_.size(); }

 private:
  // Drops the dead entries once the store has doubled since the last sweep
  // (or reached kFirstSweep). A long session that keeps writing new contents
  // would otherwise keep an entry, a control block and a string header
  // (about 125 bytes) for every content it ever held; swept, the store stays
  // in proportion to what the history holds, at an amortised constant cost
  // per new entry. Which entries are swept changes no result.
  void sweep_if_grown();
  static constexpr std::size_t kFirstSweep = 1024;

  // The stored live content equal to `bytes` under `hash`, or nullptr.
  Content lookup(std::uint64_t hash, std::string_view bytes) const;

  std::unordered_map<std::uint64_t, std::weak_ptr<const std::string>> entries_;
  std::size_t sweep_at_ = kFirstSweep;
};

}  // namespace vesk

#endif  // VESK_CORE_HISTORY_CHECKPOINT_H_
