// Session journals: what a host must write to keep a store of a session up
// to date, at a cost that follows what changed.
//
// A store (the server's SQLite database, say) keeps a session as rows: each
// kept checkpoint with its map written as the change from the kept
// checkpoint before it (from nothing for the oldest), contents by their
// SHA-256 once whatever refers to them, and the session's few other parts.
// journal_between() compares what the store holds (the checkpoints as they
// were when it last wrote, which the host keeps: copies share everything)
// with the session now and says which rows to delete and which to write,
// and which contents they need. A checkpoint is written again when it is
// new, when its own parts changed (a label, a mount into it), or when the
// checkpoint before it did (a discard made the id anew, a forget removed
// the one its change applied to): then its change from its new predecessor,
// which costs about what differs between the two. A call that changed
// nothing gives an empty journal after a walk of the kept ids.
//
// rebuild_checkpoints() turns rows back into checkpoints. Pure; errors are
// plain messages.
#ifndef VESK_CORE_SESSION_SESSION_JOURNAL_H_
#define VESK_CORE_SESSION_SESSION_JOURNAL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/history/checkpoint.h"
#include "core/base/error.h"
#include "core/session/session_file.h"

namespace vesk {

// One checkpoint as a store keeps it.
struct JournalCheckpoint {
  std::uint64_t id = 0;
  // The checkpoint whose files `removed` and `set` change; nullopt: none
  // (the oldest kept checkpoint, whose change is all of its files).
  std::optional<std::uint64_t> base_id;
  SharedText stdout_text;
  SharedText stderr_text;
  std::optional<std::string> label;
  std::optional<int> exit_code;
  std::vector<std::string> removed;
  std::vector<std::pair<std::string, ContentDigest>> set;
};

struct SessionJournal {
  // Rows to delete: checkpoints forgotten or discarded.
  std::vector<std::uint64_t> dropped;
  // Rows to write, in place of any with the same id, oldest first.
  std::vector<JournalCheckpoint> written;
  // Every content `written` refers to, once; a store keeps those it lacks.
  std::vector<std::pair<ContentDigest, Content>> contents;
  // Always to be written: a rollback moves it without any row changing.
  std::uint64_t current_id = 0;

  // No rows to delete or write.
  bool empty() const { return dropped.empty() && written.empty(); }
};

// Digests of contents already taken, by object, so that a content written
// again (a row rewritten after a forget) is not hashed again. Holds no
// content: an entry whose content has gone is dropped at the next sweep,
// once the cache has doubled since the last one.
class DigestCache {
 public:
  ContentDigest digest(const Content& content);
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::weak_ptr<const std::string> content;
    ContentDigest digest;
  };
  std::unordered_map<const std::string*, Entry> entries_;
  std::size_t sweep_at_ = 1024;
};

// The journal that brings a store holding `stored` (oldest first; empty for
// one that holds nothing yet) to `now` with `current_id` current, digests
// through `cache` when given. Throws only std::bad_alloc.
SessionJournal journal_between(const std::vector<Checkpoint>& stored,
                               const std::vector<Checkpoint>& now, std::uint64_t current_id,
                               DigestCache* cache = nullptr);

// The checkpoints `rows` (any order) stand for, oldest first; `content`
// gives the content of a digest, or nullptr when the store lacks it. Errors:
// "stored checkpoint {id} refers to checkpoint {base}, which is not stored",
// "stored checkpoint {id} removes '{key}', which it does not hold",
// "stored checkpoint {id} refers to a content that is not stored", "the
// store holds checkpoint {id} twice".
Result<std::vector<Checkpoint>> rebuild_checkpoints(
    std::vector<JournalCheckpoint> rows,
    const std::function<Content(const ContentDigest&)>& content);

// --- a store's blobs ---
// A store may keep a row, and the session's other parts, as opaque bytes.
// Decoding fails with "stored checkpoint is damaged: {what}" or "stored
// session parts are damaged: {what}" (a content missing from the store
// included).

std::string encode_journal_row(const JournalCheckpoint& row);
Result<JournalCheckpoint> decode_journal_row(std::string_view bytes);

// The parts of `parts` other than its checkpoints, current id and image:
// the session's label, checkpoint 0's forgotten files, the packages and the
// mount origins, contents by digest. Each content referred to is added to
// `contents` (once by this call; a store keeps one per digest).
std::string encode_session_parts(const SavedSession& parts,
                                 std::vector<std::pair<ContentDigest, Content>>* contents,
                                 DigestCache* cache = nullptr);
// Sets those parts of `into` from `bytes`.
Status decode_session_parts(std::string_view bytes,
                            const std::function<Content(const ContentDigest&)>& content,
                            SavedSession* into);

}  // namespace vesk

#endif  // VESK_CORE_SESSION_SESSION_JOURNAL_H_
