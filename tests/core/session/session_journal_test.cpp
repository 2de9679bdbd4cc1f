#include "core/session/session_journal.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/history/history.h"

namespace vesk {
namespace {

// A store as a host would keep one: rows by id, contents by digest.
struct Store {
  std::map<std::uint64_t, JournalCheckpoint> rows;
  std::map<ContentDigest, Content> contents;
  std::vector<Checkpoint> stored;  // what the host keeps to compare with
  DigestCache digests;

  SessionJournal sync(const History& h) {
    SessionJournal j = journal_between(stored, h.checkpoints(), h.current_id(), &digests);
    for (std::uint64_t id : j.dropped) rows.erase(id);
    for (const JournalCheckpoint& row : j.written) rows[row.id] = row;
    for (const auto& [digest, content] : j.contents) contents.emplace(digest, content);
    stored = h.checkpoints();
    return j;
  }

  std::vector<Checkpoint> rebuilt() const {
    std::vector<JournalCheckpoint> all;
    for (const auto& [id, row] : rows) all.push_back(row);
    Result<std::vector<Checkpoint>> r = rebuild_checkpoints(all, [&](const ContentDigest& d) {
      auto it = contents.find(d);
      return it == contents.end() ? nullptr : it->second;
    });
    EXPECT_TRUE(r) << r.error().message();
    return r ? *r : std::vector<Checkpoint>{};
  }
};

void expect_same(const std::vector<Checkpoint>& a, const std::vector<Checkpoint>& b,
                 const std::string& step) {
  ASSERT_EQ(a.size(), b.size()) << step;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].id, b[i].id) << step;
    EXPECT_TRUE(a[i].files == b[i].files) << step << ": checkpoint " << a[i].id;
    EXPECT_EQ(a[i].stdout_text.str(), b[i].stdout_text.str()) << step;
    EXPECT_EQ(a[i].label, b[i].label) << step;
    EXPECT_EQ(a[i].exit_code, b[i].exit_code) << step;
  }
}

TEST(SessionJournalTest, AStoreKeptByJournalsRebuildsEveryStepAndWritesOnlyWhatChanged) {
  History h(HistoryLimits{});
  Store store;
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(h.write_file("f" + std::to_string(i), "v"));
  store.sync(h);
  expect_same(store.rebuilt(), h.checkpoints(), "start");

  // Nothing changed: nothing to write.
  EXPECT_TRUE(store.sync(h).empty());

  // One new file: one row, one content, whatever the workspace holds.
  ASSERT_TRUE(h.write_file("new", "fresh bytes"));
  SessionJournal one = store.sync(h);
  ASSERT_EQ(one.written.size(), 1u);
  EXPECT_EQ(one.written[0].set.size(), 1u);
  EXPECT_EQ(one.contents.size(), 1u);

  const std::vector<std::pair<std::string, std::function<void()>>> steps = {
      {"label", [&] { ASSERT_TRUE(h.set_checkpoint_label(10, "ten")); }},
      {"run", [&] { ASSERT_TRUE(h.append_run(h.current().files, "out", "err", true, 2)); }},
      {"rollback and write (ids made anew)",
       [&] {
         ASSERT_TRUE(h.rollback(20));
         ASSERT_TRUE(h.write_file("f3", "other"));
       }},
      {"delete", [&] { ASSERT_TRUE(h.delete_file("f4")); }},
      {"mount into the current one", [&] { h.insert_into_current("m", make_content("mounted")); }},
      {"forget keeping labels", [&] { ASSERT_TRUE(h.forget_before(15, true)); }},
      {"forget all older", [&] { ASSERT_TRUE(h.forget_before(18, false)); }},
      {"rollback only", [&] { ASSERT_TRUE(h.rollback(19)); }},
  };
  for (const auto& [name, step] : steps) {
    step();
    SessionJournal j = store.sync(h);
    EXPECT_FALSE(j.empty() && name != "rollback only") << name;
    EXPECT_EQ(j.current_id, h.current_id()) << name;
    expect_same(store.rebuilt(), h.checkpoints(), name);
  }
}

TEST(SessionJournalTest, RebuildRefusesRowsThatDoNotHoldTogether) {
  JournalCheckpoint orphan;
  orphan.id = 3;
  orphan.base_id = 2;
  JournalCheckpoint missing;
  missing.id = 1;
  missing.set.emplace_back("a", content_digest("x"));
  JournalCheckpoint removes;
  removes.id = 1;
  removes.removed.push_back("a");
  const auto none = [](const ContentDigest&) { return Content(); };
  const std::vector<std::pair<JournalCheckpoint, std::string>> cases = {
      {orphan, "stored checkpoint 3 refers to checkpoint 2, which is not stored"},
      {missing, "stored checkpoint 1 refers to a content that is not stored"},
      {removes, "stored checkpoint 1 removes 'a', which it does not hold"},
  };
  for (const auto& [row, message] : cases) {
    Result<std::vector<Checkpoint>> r = rebuild_checkpoints({row}, none);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), message);
  }
}

}  // namespace
}  // namespace vesk
