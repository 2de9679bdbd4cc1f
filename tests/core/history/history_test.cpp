#include "core/history/history.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace vesk {
namespace {

const std::string kLimit200 =
    "checkpoint limit of 200 reached; close or snapshot this session and start a new one";

std::vector<std::uint64_t> ids(const History& h) {
  std::vector<std::uint64_t> out;
  for (const Checkpoint& c : h.checkpoints()) out.push_back(c.id);
  return out;
}

FileMap files_of(std::initializer_list<std::pair<std::string, std::string>> entries) {
  FileMap m;
  for (const auto& [k, v] : entries) m.set(k, make_content(v));
  return m;
}

// Appends `n` checkpoints through write_file.
void write_n(History& h, int n) {
  for (int i = 0; i < n; ++i) ASSERT_TRUE(h.write_file("f", std::to_string(i)));
}

TEST(HistoryTest, StartsWithAnEmptyCheckpointZero) {
  History h(HistoryLimits{});
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h.current_id(), 0u);
  EXPECT_EQ(h.current().id, 0u);
  EXPECT_TRUE(h.current().files.empty());
  EXPECT_EQ(h.current().stdout_text, "");
  EXPECT_EQ(h.current().stderr_text, "");
  EXPECT_FALSE(h.current().label.has_value());
}

TEST(HistoryTest, DefaultLimitAllows199Changes) {
  History h(HistoryLimits{200, 512});
  write_n(h, 199);
  EXPECT_EQ(h.current_id(), 199u);
  auto s = h.write_file("f", "one more");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), kLimit200);
  auto d = h.delete_file("f");
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().message(), kLimit200);
  EXPECT_EQ(h.size(), 200u);
  EXPECT_EQ(**h.current().files.find("f"), "198");
}

TEST(HistoryTest, LimitsOfZeroAndOneRefuseEveryChange) {
  for (std::uint64_t limit : {0u, 1u}) {
    History h(HistoryLimits{limit, std::nullopt});
    auto s = h.write_file("a", "x");
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message(), "checkpoint limit of " + std::to_string(limit) +
                                       " reached; close or snapshot this session and start a "
                                       "new one");
    EXPECT_FALSE(h.append_run(FileMap(), "", ""));
    EXPECT_EQ(h.size(), 1u);
  }
}

TEST(HistoryTest, EditsCountBeforeDiscardingRunsAfter) {
  History h(HistoryLimits{5, std::nullopt});
  write_n(h, 4);
  ASSERT_EQ(h.size(), 5u);
  ASSERT_TRUE(h.rollback(0));
  // An edit sees the full history, even though it would discard four.
  EXPECT_FALSE(h.write_file("g", "x"));
  EXPECT_EQ(h.size(), 5u);
  // A run discards first, so it fits.
  h.discard_after_current();
  auto c = h.append_run(files_of({{"r", "run"}}), "out", "err");
  ASSERT_TRUE(c) << c.error().message();
  EXPECT_EQ((*c)->id, 1u);
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ((*c)->stdout_text, "out");
  EXPECT_EQ((*c)->stderr_text, "err");
}

TEST(HistoryTest, FullHistoryRefusesDeleteOfPresentKey) {
  History h(HistoryLimits{3, std::nullopt});
  write_n(h, 2);
  auto d = h.delete_file("f");
  ASSERT_FALSE(d);
  EXPECT_NE(d.error().message().find("checkpoint limit of 3 reached"), std::string::npos);
  EXPECT_EQ(h.size(), 3u);
}

TEST(HistoryTest, RollbackThenChangeReusesIds) {
  History h(HistoryLimits{});
  write_n(h, 4);
  ASSERT_TRUE(h.rollback(2));
  EXPECT_EQ(h.size(), 5u);  // nothing discarded yet
  ASSERT_TRUE(h.rollback(4));
  EXPECT_EQ(h.current_id(), 4u);
  ASSERT_TRUE(h.rollback(2));
  ASSERT_TRUE(h.write_file("new", "n"));
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(h.current_id(), 3u);
  EXPECT_EQ(**h.current().files.find("f"), "1");  // based on checkpoint 2
  EXPECT_NE(h.current().files.find("new"), nullptr);
}

TEST(HistoryTest, MissingCheckpointsAreNamed) {
  History h(HistoryLimits{});
  write_n(h, 2);
  const struct {
    Status status;
    const char* message;
  } cases[] = {
      {h.rollback(3), "checkpoint 3 does not exist"},
      {h.set_checkpoint_label(3, "x"), "checkpoint 3 does not exist"},
      {h.rollback(18446744073709551615u), "checkpoint 18446744073709551615 does not exist"},
  };
  for (const auto& tc : cases) {
    ASSERT_FALSE(tc.status);
    EXPECT_EQ(tc.status.error().message(), tc.message);
  }
  EXPECT_EQ(h.current_id(), 2u);
  EXPECT_TRUE(h.rollback(2));  // rolling back to the current id changes nothing
  EXPECT_EQ(h.size(), 3u);
}

TEST(HistoryTest, DiffChecksFromIdFirst) {
  History h(HistoryLimits{});
  EXPECT_EQ(h.diff(1, 5).error().message(), "checkpoint 1 does not exist");
  EXPECT_EQ(h.diff(0, 5).error().message(), "checkpoint 5 does not exist");
  EXPECT_TRUE(h.diff(0, 0));
}

TEST(HistoryTest, LabelsSetAndClear) {
  History h(HistoryLimits{});
  write_n(h, 1);
  ASSERT_TRUE(h.set_checkpoint_label(0, "base"));
  EXPECT_EQ(h.find(0)->label, "base");
  ASSERT_TRUE(h.set_checkpoint_label(0, ""));
  EXPECT_FALSE(h.find(0)->label.has_value());
}

TEST(HistoryTest, EqualContentsShareOneObject) {
  History h(HistoryLimits{});
  ASSERT_TRUE(h.write_file("a", "same"));
  ASSERT_TRUE(h.write_file("a", "same"));
  ASSERT_TRUE(h.write_file("b", "same"));
  const Content* first = h.find(1)->files.find("a");
  EXPECT_EQ(first->get(), h.find(2)->files.find("a")->get());
  EXPECT_EQ(first->get(), h.find(3)->files.find("b")->get());
  EXPECT_TRUE(h.find(1)->files == h.find(2)->files);
  // A run's files are interned against what the history holds.
  h.discard_after_current();
  auto c = h.append_run(files_of({{"c", "same"}}), "", "");
  ASSERT_TRUE(c);
  EXPECT_EQ((*c)->files.find("c")->get(), first->get());
}

TEST(HistoryTest, SizeLimitCountsSharedContentsPerKeyAndComesFirst) {
  const std::uint64_t mib = 1048576;
  History h(HistoryLimits{2, 1});
  // Exactly the limit passes, one byte more fails, with the size message even
  // though the checkpoint limit would fail too.
  ASSERT_TRUE(h.write_file("half", std::string(mib / 2, 'x')));
  auto s = h.write_file("again", std::string(mib / 2 + 1, 'x'));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "workspace size 1048577 bytes exceeds limit of 1048576 bytes");
  History h2(HistoryLimits{std::nullopt, 1});
  ASSERT_TRUE(h2.write_file("a", std::string(mib / 2, 'y')));
  ASSERT_TRUE(h2.write_file("b", std::string(mib / 2, 'y')));  // shared, counted twice: equal
  EXPECT_EQ(h2.current().files.find("a")->get(), h2.current().files.find("b")->get());
  EXPECT_FALSE(h2.write_file("c", "z"));
  // Replacing a big content by a small one brings it back under.
  ASSERT_TRUE(h2.write_file("a", "small"));
  EXPECT_TRUE(h2.write_file("c", "z"));
  // An empty file counts nothing, even at a limit of zero.
  History h3(HistoryLimits{std::nullopt, 0});
  EXPECT_TRUE(h3.write_file("empty", ""));
  EXPECT_FALSE(h3.write_file("one", "1"));
}

TEST(HistoryTest, RunOverTheSizeLimitAppendsNothing) {
  History h(HistoryLimits{std::nullopt, 0});
  h.discard_after_current();
  auto c = h.append_run(files_of({{"big", "1"}}), "", "");
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().message(), "workspace size 1 bytes exceeds limit of 0 bytes");
  EXPECT_EQ(h.size(), 1u);
}

TEST(HistoryTest, FailedEditsLeaveTheHistoryAsItWas) {
  History h(HistoryLimits{});
  ASSERT_TRUE(h.write_file("keep", "k"));
  const FileMap before = h.current().files;
  const struct {
    std::string_view key;
    std::string message;
  } bad_writes[] = {
      {"", "workspace key must not be empty"},
      {"/abs", "workspace key must be a relative path: '/abs'"},
      {"a/../b", "workspace key must not contain '..': 'a/../b'"},
  };
  for (const auto& tc : bad_writes) {
    auto s = h.write_file(tc.key, "x");
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message(), tc.message);
  }
  // delete_file applies no key rules: anything absent is just absent.
  for (std::string_view key : {"", "/abs", "missing", "keep/"}) {
    auto d = h.delete_file(key);
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().message(), "'" + std::string(key) + "' not in current checkpoint");
  }
  EXPECT_EQ(h.size(), 2u);
  EXPECT_TRUE(h.current().files == before);
}

TEST(HistoryTest, KeysAreStoredAsWritten) {
  History h(HistoryLimits{});
  for (const char* key : {"a", "a/", "./a", "a//b", "a/b", ".", "./"}) {
    ASSERT_TRUE(h.write_file(key, key)) << key;
  }
  EXPECT_EQ(h.current().files.size(), 7u);
  auto d = h.delete_file("a/");
  ASSERT_TRUE(d);
  EXPECT_EQ((*d)->files.find("a/"), nullptr);
  EXPECT_NE((*d)->files.find("a"), nullptr);
  EXPECT_EQ((*d)->stdout_text, "");
}

TEST(HistoryTest, InsertIntoCurrentChangesOnlyThatCheckpoint) {
  History h(HistoryLimits{});
  write_n(h, 2);
  ASSERT_TRUE(h.rollback(1));
  h.insert_into_current("mounted", make_content("m"));
  EXPECT_EQ(h.size(), 3u);
  EXPECT_NE(h.find(1)->files.find("mounted"), nullptr);
  EXPECT_EQ(h.find(2)->files.find("mounted"), nullptr);
  EXPECT_EQ(h.find(0)->files.find("mounted"), nullptr);
}

TEST(HistoryTest, ForgetBeforeKeepsIdsStable) {
  History h(HistoryLimits{});
  write_n(h, 5);
  ASSERT_TRUE(h.set_checkpoint_label(1, "one"));
  ASSERT_TRUE(h.set_checkpoint_label(3, "three"));
  ASSERT_TRUE(h.forget_before(3, /*keep_labelled=*/true));
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{1, 3, 4, 5}));
  EXPECT_EQ(h.current_id(), 5u);
  EXPECT_EQ(h.find(2), nullptr);
  ASSERT_TRUE(h.rollback(3));
  const std::string gone = " was forgotten (the oldest kept is 1)";
  const struct {
    Status status;
    std::string message;
  } cases[] = {
      {h.rollback(0), "checkpoint 0" + gone},
      {h.rollback(2), "checkpoint 2" + gone},  // a hole left among labelled ones
      {h.set_checkpoint_label(0, "x"), "checkpoint 0" + gone},
      {fail(h.diff(2, 5).error()), "checkpoint 2" + gone},
      {fail(h.diff(5, 0).error()), "checkpoint 0" + gone},
      {fail(h.diff(6, 0).error()), "checkpoint 6 does not exist"},
      {h.forget_before(2, false), "checkpoint 2" + gone},
      {h.forget_before(6, false), "checkpoint 6 does not exist"},
      {h.forget_before(4, false), "checkpoint 3 is current and cannot be forgotten"},
  };
  for (const auto& tc : cases) {
    ASSERT_FALSE(tc.status);
    EXPECT_EQ(tc.status.error().message(), tc.message);
  }
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{1, 3, 4, 5}));
  // Forgetting up to the current one keeps those after it; the next change
  // discards them as usual and takes the next id.
  ASSERT_TRUE(h.forget_before(3, false));
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{3, 4, 5}));
  EXPECT_EQ(h.labels(), (std::vector<std::pair<std::uint64_t, std::string>>{{3, "three"}}));
  EXPECT_EQ(h.rollback(1).error().message(), "checkpoint 1 was forgotten (the oldest kept is 3)");
  ASSERT_TRUE(h.write_file("g", "x"));
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{3, 4}));
  EXPECT_EQ(h.current_id(), 4u);
  EXPECT_EQ(**h.current().files.find("f"), "2");
  Result<std::string> d = h.diff(3, 4);
  ASSERT_TRUE(d);
  EXPECT_NE(d->find("+x"), std::string::npos);
}

TEST(HistoryTest, ForgetBeforeFreesRoomAndContents) {
  History h(HistoryLimits{3, std::nullopt});
  h.insert_into_current("mounted", make_content("m"));
  ASSERT_TRUE(h.write_file("big", std::string(1 << 20, 'b')));
  const std::weak_ptr<const std::string> big = *h.current().files.find("big");
  ASSERT_TRUE(h.write_file("big", "small"));
  EXPECT_FALSE(h.write_file("c", "x"));  // the limit counts what is kept
  ASSERT_TRUE(h.forget_before(2, false));
  EXPECT_TRUE(big.expired());
  ASSERT_TRUE(h.write_file("c", "x"));
  ASSERT_TRUE(h.write_file("d", "x"));
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{2, 3, 4}));
  EXPECT_FALSE(h.write_file("e", "x"));
  // Commit still compares mounted files against checkpoint 0.
  EXPECT_EQ(**h.first_files().find("mounted"), "m");
}


// The account, checked against a walk of everything the history holds.
std::uint64_t walked_bytes(const History& h) {
  std::unordered_set<const std::string*> seen;
  std::uint64_t total = 0;
  const auto walk = [&](const FileMap& files) {
    for (const auto& [key, content] : files) {
      if (seen.insert(content.get()).second) total += content->size();
    }
  };
  walk(h.first_files());
  for (const Checkpoint& c : h.checkpoints()) {
    walk(c.files);
    total += c.stdout_text.size() + c.stderr_text.size();
  }
  return total;
}

TEST(HistoryTest, HeldBytesCountEachSharedContentOnceThroughEveryOperation) {
  History h(HistoryLimits{});
  std::mt19937 random(7);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const auto key = [&] { return std::string(1, static_cast<char>('a' + pick(4))); };
  // Few distinct texts, so that checkpoints and keys share contents.
  const auto text = [&] { return std::string(static_cast<std::size_t>(10 + 7 * pick(5)), 'x'); };
  for (int step = 0; step < 3000; ++step) {
    const std::uint64_t some_id =
        h.checkpoints()[static_cast<std::size_t>(pick(static_cast<int>(h.size())))].id;
    switch (pick(9)) {
      case 0:
      case 1:
        ASSERT_TRUE(h.write_file(key(), text()));
        break;
      case 2:
        (void)h.delete_file(key());
        break;
      case 3:
        ASSERT_TRUE(h.rollback(some_id));
        break;
      case 4:
        if (some_id <= h.current_id()) {
          ASSERT_TRUE(h.forget_before(some_id, pick(2) == 0));
        }
        ASSERT_TRUE(h.set_checkpoint_label(h.current_id(), pick(3) == 0 ? "l" : ""));
        break;
      case 5: {  // a shell run: the same bytes written again as a new object
        h.discard_after_current();
        FileMap files = h.current().files;
        for (const auto& [k, content] : h.current().files) files.set(k, make_content(*content));
        files.set(key(), make_content(text()));
        ASSERT_TRUE(h.append_run(std::move(files), text(), "", /*derived=*/true));
        break;
      }
      case 6: {  // a Python run, whole or by its changes
        h.discard_after_current();
        if (pick(2) == 0) {
          ASSERT_TRUE(h.append_run(files_of({{key(), text()}, {key(), text()}}), "", text()));
        } else {
          ASSERT_TRUE(h.append_run_changes(files_of({{key(), text()}}), {}, "out", ""));
        }
        break;
      }
      case 7:
        ASSERT_TRUE(h.insert_into_current(key(), h.blobs().intern_bytes(text())));
        break;
      case 8:
        ASSERT_TRUE(h.insert_into_current(key(), make_content(text())));  // not interned
        break;
    }
    ASSERT_EQ(h.held_bytes(), walked_bytes(h)) << "step " << step;
  }
  // Forgetting all but the current checkpoint leaves its own contents (and
  // checkpoint 0's, kept for commit).
  ASSERT_TRUE(h.forget_before(h.current_id(), false));
  EXPECT_EQ(h.held_bytes(), walked_bytes(h));
}

TEST(HistoryTest, PastMaxHistoryAChangeIsRefusedAndChangesNothing) {
  const std::string kib600(600 * 1024, 'a');
  const std::string other(600 * 1024, 'b');
  const std::string refused =
      "history size 1228800 bytes would exceed limit of 1048576 bytes (max_history_mb = 1); "
      "forget older checkpoints or start a new session";
  History h(HistoryLimits{std::nullopt, std::nullopt, 1});
  ASSERT_TRUE(h.write_file("a", kib600));
  ASSERT_TRUE(h.write_file("copy", kib600));  // shared: adds nothing
  ASSERT_TRUE(h.delete_file("a"));
  ASSERT_TRUE(h.rollback(1));
  const std::uint64_t held = h.held_bytes();
  h.discard_after_current();  // a run's discard stands
  const struct {
    const char* what;
    Status status;
  } cases[] = {
      {"edit", h.write_file("b", other)},
      {"run", fail(h.append_run(files_of({{"b", other}}), "", "").error())},
      {"run output", fail(h.append_run(FileMap(), other, "").error())},
      {"changes", fail(h.append_run_changes(files_of({{"b", other}}), {}, "", "").error())},
      {"mount", h.insert_into_current("b", make_content(other))},
  };
  for (const auto& tc : cases) {
    ASSERT_FALSE(tc.status) << tc.what;
    EXPECT_EQ(tc.status.error().message(), refused) << tc.what;
  }
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(h.held_bytes(), held);
  EXPECT_EQ(h.current().files.find("b"), nullptr);
  // A refused edit after a rollback keeps the later checkpoints.
  ASSERT_TRUE(h.write_file("small", "s"));
  ASSERT_TRUE(h.rollback(1));
  EXPECT_FALSE(h.write_file("b", other));
  EXPECT_EQ(ids(h), (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_EQ(h.current_id(), 1u);
  EXPECT_EQ(h.held_bytes(), walked_bytes(h));
  // Forgetting what held the old content makes room.
  ASSERT_TRUE(h.rollback(2));
  ASSERT_TRUE(h.delete_file("a"));
  ASSERT_TRUE(h.forget_before(3, false));
  EXPECT_EQ(h.held_bytes(), 1u);
  ASSERT_TRUE(h.write_file("b", other));
}

}  // namespace
}  // namespace vesk
