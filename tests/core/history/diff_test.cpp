#include "core/history/diff.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/history/line_diff.h"
#include "core/base/process.h"
#include "core/base/utf8.h"
#include "test_util.h"

namespace vesk {
namespace {

// Each text followed by "\n": the expected output, one entry per line.
std::string lines(std::initializer_list<std::string_view> texts) {
  std::string out;
  for (std::string_view t : texts) out.append(t).append("\n");
  return out;
}

// "first\n" .. "last\n", with `replace` swapping single lines.
std::string numbered(int first, int last, std::vector<std::pair<int, std::string>> replace = {}) {
  std::string out;
  for (int i = first; i <= last; ++i) {
    std::string line = std::to_string(i);
    for (const auto& [at, text] : replace) {
      if (at == i) line = text;
    }
    out += line + "\n";
  }
  return out;
}

TEST(DiffTest, SplitsLinesOnEachTerminator) {
  const struct {
    std::string_view text;
    std::vector<std::string_view> lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"\n\n", {"\n", "\n"}},
      {"a\nb", {"a\n", "b"}},
      {"a\r\nb\r\n", {"a\r\n", "b\r\n"}},
      {"a\rb\r", {"a\r", "b\r"}},
      {"a\r\r\nb\n\rc", {"a\r", "\r\n", "b\n", "\r", "c"}},
  };
  for (const auto& tc : cases) EXPECT_EQ(split_lines(tc.text), tc.lines) << tc.text;
}

TEST(DiffTest, UnifiedDiffText) {
  const struct {
    const char* name;
    std::string old_text, new_text, expected;
  } cases[] = {
      {"added file", "", "x\ny\n", lines({"--- a/k", "+++ b/k", "@@ -0,0 +1,2 @@", "+x", "+y"})},
      {"removed file", "x\n", "", lines({"--- a/k", "+++ b/k", "@@ -1 +0,0 @@", "-x"})},
      {"one line replaced", numbered(1, 10), numbered(1, 10, {{5, "five"}}),
       lines({"--- a/k", "+++ b/k", "@@ -2,7 +2,7 @@", " 2", " 3", " 4", "-5", "+five", " 6", " 7",
              " 8"})},
      {"no final newline", "a", "b",
       lines({"--- a/k", "+++ b/k", "@@ -1 +1 @@", "-a", "\\ No newline at end of file", "+b",
              "\\ No newline at end of file"})},
      {"final newline added", "a\nb", "a\nb\n",
       lines({"--- a/k", "+++ b/k", "@@ -1,2 +1,2 @@", " a", "-b", "\\ No newline at end of file",
              "+b"})},
      {"six unchanged lines stay in one hunk", numbered(1, 20),
       numbered(1, 20, {{5, "five"}, {12, "twelve"}}),
       lines({"--- a/k", "+++ b/k", "@@ -2,14 +2,14 @@", " 2", " 3", " 4", "-5", "+five", " 6",
              " 7", " 8", " 9", " 10", " 11", "-12", "+twelve", " 13", " 14", " 15"})},
      {"seven unchanged lines split hunks", numbered(1, 20),
       numbered(1, 20, {{5, "five"}, {13, "thirteen"}}),
       lines({"--- a/k", "+++ b/k", "@@ -2,7 +2,7 @@", " 2", " 3", " 4", "-5", "+five", " 6", " 7",
              " 8", "@@ -10,7 +10,7 @@", " 10", " 11", " 12", "-13", "+thirteen", " 14", " 15",
              " 16"})},
      {"context clipped at both ends", "a\nb\nc\n", "a\nB\nc\n",
       lines({"--- a/k", "+++ b/k", "@@ -1,3 +1,3 @@", " a", "-b", "+B", " c"})},
      {"deletions before insertions", "a\nb\nc\n", "a\nx\ny\nc\n",
       lines({"--- a/k", "+++ b/k", "@@ -1,3 +1,4 @@", " a", "-b", "+x", "+y", " c"})},
      {"CRLF lines printed as they are", "a\r\nb\r\n", "a\r\nc\r\n",
       lines({"--- a/k", "+++ b/k", "@@ -1,2 +1,2 @@", " a\r", "-b\r", "+c\r"})},
      {"line ending change is a change", "a\nb\n", "a\r\nb\n",
       lines({"--- a/k", "+++ b/k", "@@ -1,2 +1,2 @@", "-a", "+a\r", " b"})},
      {"lone CR ends a line", "a\rb\r", "a\rc\r",
       "--- a/k\n+++ b/k\n@@ -1,2 +1,2 @@\n a\r-b\r+c\r"},
      {"CR at end has a terminator", "a\r", "b\r", "--- a/k\n+++ b/k\n@@ -1 +1 @@\n-a\r+b\r"},
      // Repeated lines let the shortest script pair them in several ways;
      // the changes must come out in as few blocks as possible, and a
      // deletion next to an insertion forms one change with it.
      {"insertions joined", "c\na\n", "b\nc\nc\na\nc\n",
       lines({"--- a/k", "+++ b/k", "@@ -1,2 +1,5 @@", "+b", "+c", " c", " a", "+c"})},
      {"deletions joined", "b\nc\nc\na\nc\n", "c\na\n",
       lines({"--- a/k", "+++ b/k", "@@ -1,5 +1,2 @@", "-b", "-c", " c", " a", "-c"})},
      {"deletion lined up with insertion", "c\nc\na\nc\n", "b\nc\na\n",
       lines({"--- a/k", "+++ b/k", "@@ -1,4 +1,3 @@", "-c", "+b", " c", " a", "-c"})},
      {"equal texts", "a\nb", "a\nb", ""},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(unified_diff("k", tc.old_text, tc.new_text), tc.expected) << tc.name;
  }
}

FileMap make_map(std::initializer_list<std::pair<std::string, std::string>> entries) {
  FileMap map;
  for (const auto& [key, bytes] : entries) map.set(key, make_content(bytes));
  return map;
}

TEST(DiffTest, FileMaps) {
  const struct {
    const char* name;
    FileMap from, to;
    std::string expected;
  } cases[] = {
      {"same map", make_map({{"a", "1\n"}, {"b", "\xff"}}), make_map({{"a", "1\n"}, {"b", "\xff"}}),
       ""},
      {"empty file against no file", make_map({}), make_map({{"e", ""}}), ""},
      {"empty file removed", make_map({{"e", ""}, {"a", "1\n"}}), make_map({{"a", "1\n"}}), ""},
      {"empty file gets a line", make_map({{"e", ""}}), make_map({{"e", "x\n"}}),
       lines({"--- a/e", "+++ b/e", "@@ -0,0 +1 @@", "+x"})},
      {"new side not UTF-8", make_map({{"k", "text\n"}}), make_map({{"k", "\xc3\x28"}}),
       "Binary file k changed.\n"},
      {"removed file not UTF-8", make_map({{"bin/x", "\xff\xfe"}}), make_map({}),
       "Binary file bin/x changed.\n"},
      {"unchanged binary file skipped", make_map({{"b", "\xff"}, {"t", "1\n"}}),
       make_map({{"b", "\xff"}, {"t", "2\n"}}),
       lines({"--- a/t", "+++ b/t", "@@ -1 +1 @@", "-1", "+2"})},
      {"keys in byte order, parts concatenated", make_map({{"same", "s\n"}, {"a.txt", "old\n"}}),
       make_map({{"same", "s\n"},
                 {"a.txt", "new\n"},
                 {"B.txt", "b\n"},
                 {"a/b", "\xff"},
                 {"a.b", "c\n"},
                 {"\xc3\xa9.txt", "e\n"},
                 {"z.txt", "z"}}),
       lines({"--- a/B.txt", "+++ b/B.txt", "@@ -0,0 +1 @@", "+b",  //
              "--- a/a.b", "+++ b/a.b", "@@ -0,0 +1 @@", "+c",      //
              "--- a/a.txt", "+++ b/a.txt", "@@ -1 +1 @@", "-old", "+new",
              "Binary file a/b changed.",  //
              "--- a/z.txt", "+++ b/z.txt", "@@ -0,0 +1 @@", "+z", "\\ No newline at end of file",
              "--- a/\xc3\xa9.txt", "+++ b/\xc3\xa9.txt", "@@ -0,0 +1 @@", "+e"})},
  };
  for (const auto& tc : cases) EXPECT_EQ(diff_file_maps(tc.from, tc.to), tc.expected) << tc.name;
}

// The diff of two maps, key by key over the sorted union of their keys.
std::string reference_diff(const FileMap& from, const FileMap& to) {
  const std::vector<std::string_view> from_keys = from.sorted_keys();
  const std::vector<std::string_view> to_keys = to.sorted_keys();
  std::vector<std::string_view> keys;
  std::set_union(from_keys.begin(), from_keys.end(), to_keys.begin(), to_keys.end(),
                 std::back_inserter(keys));
  std::string out;
  for (std::string_view key : keys) {
    const Content* a = from.find(key);
    const Content* b = to.find(key);
    const std::string old_text = a ? **a : "", new_text = b ? **b : "";
    if (old_text != new_text && (!is_valid_utf8(old_text) || !is_valid_utf8(new_text))) {
      out.append("Binary file ").append(key).append(" changed.\n");
    } else {
      out += unified_diff(key, old_text, new_text);
    }
  }
  return out;
}

// Checkpoints of one session share most of their tries; the diff between any
// two of them must read as if every key had been compared.
TEST(DiffTest, FileMapsSharingStructure) {
  std::mt19937 rng(99);
  const std::string texts[] = {"", "a\n", "b\n", "a\nb\n", "\xff", "no newline"};
  const auto text = [&] { return texts[rng() % std::size(texts)]; };
  FileMap files;
  for (int i = 0; i < 2000; ++i) files.set("f" + std::to_string(i), make_content(text()));
  std::vector<FileMap> checkpoints = {files};
  for (int n = 0; n < 30; ++n) {
    for (int edits = static_cast<int>(rng() % 4); edits >= 0; --edits) {
      const std::string key = "f" + std::to_string(rng() % 2100);
      if (rng() % 4 == 0) {
        files.erase(key);
      } else {
        files.set(key, make_content(text()));
      }
    }
    checkpoints.push_back(files);
  }
  for (std::size_t i = 0; i < checkpoints.size(); i += 3) {
    for (std::size_t j = 0; j < checkpoints.size(); j += 2) {
      ASSERT_EQ(diff_file_maps(checkpoints[i], checkpoints[j]),
                reference_diff(checkpoints[i], checkpoints[j]))
          << i << " -> " << j;
    }
  }
}

// ---- properties over random texts ----

// Lines by the same rule as the diff, written independently of it.
std::vector<std::string> reference_lines(std::string_view text) {
  std::vector<std::string> out;
  std::string cur;
  for (std::size_t i = 0; i < text.size(); ++i) {
    cur += text[i];
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
      out.push_back(std::move(cur));
      cur.clear();
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

std::size_t lcs_length(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<std::vector<std::size_t>> t(a.size() + 1, std::vector<std::size_t>(b.size() + 1, 0));
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      t[i][j] = a[i - 1] == b[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i - 1][j], t[i][j - 1]);
    }
  }
  return t[a.size()][b.size()];
}

// Pairs of texts over a few distinct lines, so that many lines match in many
// ways: half are independent texts, half an old text and a few edits of it
// (several hunks apart). Some lines occur on one side only.
class TextPairs {
 public:
  TextPairs(unsigned seed, std::vector<std::string> alphabet)
      : rng_(seed), alphabet_(std::move(alphabet)) {}

  std::pair<std::string, std::string> next() {
    std::vector<std::string> a = random_lines(pick(0, 40));
    std::vector<std::string> b;
    if (pick(0, 1) == 0) {
      b = random_lines(pick(0, 40));
    } else {
      b = a;
      for (int edits = pick(1, 4); edits > 0; --edits) {
        const auto at = static_cast<std::size_t>(pick(0, static_cast<int>(b.size())));
        switch (pick(0, 2)) {
          case 0: {
            const std::vector<std::string> added = random_lines(pick(1, 3));
            b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
            break;
          }
          case 1:
            if (at < b.size()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
            break;
          default:
            if (at < b.size()) b[at] = random_line();
        }
      }
    }
    return {finish(a), finish(b)};
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string random_line() {
    if (pick(0, 9) == 0) return "u" + std::to_string(unique_++) + "\n";
    return alphabet_[static_cast<std::size_t>(pick(0, static_cast<int>(alphabet_.size()) - 1))];
  }
  std::vector<std::string> random_lines(int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(random_line());
    return out;
  }
  // Joins the lines, sometimes leaving the last one without terminator.
  std::string finish(const std::vector<std::string>& ls) {
    std::string text;
    for (const auto& l : ls) text += l;
    if (pick(0, 3) == 0) text += pick(0, 1) ? "a" : "tail";
    return text;
  }

  std::mt19937 rng_;
  std::vector<std::string> alphabet_;
  int unique_ = 0;
};

TEST(DiffTest, ChangedLineCountIsTheEditDistance) {
  TextPairs pairs(20240601, {"a\n", "b\n", "c\n", "\n", "a\r\n", "b\r", "\r", "c\r\n"});
  for (int n = 0; n < 3000; ++n) {
    const auto [old_text, new_text] = pairs.next();
    const std::vector<std::string> a = reference_lines(old_text);
    const std::vector<std::string> b = reference_lines(new_text);
    const std::vector<std::string> out = reference_lines(unified_diff("k", old_text, new_text));
    const std::size_t changed = static_cast<std::size_t>(
        std::count_if(out.begin() + std::min<std::ptrdiff_t>(2, std::ssize(out)), out.end(),
                      [](const std::string& l) { return l[0] == '-' || l[0] == '+'; }));
    ASSERT_EQ(changed, a.size() + b.size() - 2 * lcs_length(a, b))
        << "old: " << ::testing::PrintToString(old_text)
        << "\nnew: " << ::testing::PrintToString(new_text);
  }
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::ssize(bytes));
}

// Runs a program to its end; its exit code and standard output.
std::pair<int, std::string> run(const std::string& program, std::vector<std::string> args) {
  SpawnOptions options;
  options.program = program;
  options.args = std::move(args);
  options.pipe_stdout = true;
  auto spawned = spawn(options);
  EXPECT_TRUE(spawned) << spawned.error().message();
  if (!spawned) return {-1, ""};
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(spawned->stdout_fd.get(), buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  const ExitStatus status = spawned->child->wait();
  return {status.code.value_or(-1), out};
}

// The output is a patch that GNU patch applies exactly where its headers say
// (no offset, no fuzz) and that yields the new text byte for byte. Lines
// ending in a lone CR are left out: the patch tool ends lines at line feeds
// only.
TEST(DiffTest, GnuPatchAppliesTheOutput) {
  TempDir dir;
  const auto old_path = dir.path() / "old", patch_path = dir.path() / "p.diff",
             out_path = dir.path() / "out";
  TextPairs pairs(77, {"a\n", "b\n", "c\n", "\n", "a\r\n", "b\r\n", "x y\n"});
  int applied = 0;
  for (int n = 0; n < 400; ++n) {
    const auto [old_text, new_text] = pairs.next();
    const std::string diff = unified_diff("k", old_text, new_text);
    ASSERT_EQ(diff.empty(), old_text == new_text);
    if (diff.empty()) continue;
    write_file(old_path, old_text);
    write_file(patch_path, diff);
    const auto [code, report] =
        run("patch", {"--binary", "--force", "--fuzz=0", "--no-backup-if-mismatch",
                      "--reject-file=-", "--output=" + out_path.string(), old_path.string(),
                      patch_path.string()});
    const std::string context = "old: " + ::testing::PrintToString(old_text) +
                                "\nnew: " + ::testing::PrintToString(new_text) + "\n" + diff;
    ASSERT_EQ(code, 0) << report << context;
    ASSERT_EQ(report.find("offset"), std::string::npos) << report << context;
    ASSERT_EQ(report.find("fuzz"), std::string::npos) << report << context;
    ASSERT_EQ(read_file(out_path), new_text) << context;
    ++applied;
  }
  EXPECT_GT(applied, 300);
}

}  // namespace
}  // namespace vesk
