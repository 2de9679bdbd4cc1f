#include "core/runner/snapshot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/runner/runner.h"
#include "process_test_util.h"
#include "test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

TEST(SnapshotTest, Sha256) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Starts a real runner and returns whether it came from a snapshot and what
// a probe of its interpreter printed.
std::pair<bool, std::string> start_and_probe(const VeskEngine& engine) {
  Result<std::unique_ptr<Runner>> runner = Runner::start(engine);
  if (!runner) return {false, "start failed: " + runner.error().message()};
  Result<ExecutionOutput> out = (*runner)->execute_python(
      "import os, sys, micropip\n"
      "print(sys.path, os.getcwd(), sys.stdin.read(), micropip.__name__, sorted(os.environ))",
      FileMap(), nullptr);
  return {(*runner)->from_snapshot(), out ? out->stdout_text : out.error().message()};
}

bool snapshot_settled(const fs::path& file) {
  return eventually([&] { return !start_snapshot_being_made() && fs::exists(file); },
                    std::chrono::seconds(180));
}

// The real runner under the real Deno, on a private copy of Deno's cache,
// so that the snapshots made here sit beside it and nowhere else.
TEST(RealRunner, StartsOnlyFromASnapshotTheModuleMadeAndChecked) {
  TempDir tmp;
  ScopedEnv env;
  // Only the npm packages: Deno's caches beside them change while other
  // programs run. (The copy is below /tmp, which a runner's sandbox replaces
  // by its own: Deno's cache must still be there for it.)
  fs::create_directories(tmp.path() / "deno");
  fs::copy(fs::path(deno_cache_dir()) / "npm", tmp.path() / "deno" / "npm",
           fs::copy_options::recursive);
  env.set("DENO_DIR", (tmp.path() / "deno").string());
  Result<VeskEngine> engine = VeskEngine::create(Config());
  ASSERT_TRUE(engine.has_value()) << engine.error().message();
  EXPECT_EQ(snapshot_dir(), (tmp.path() / "vesk" / "snapshots").string());
  const fs::path file = fs::path(snapshot_dir()) / (snapshot_key(*engine) + ".snap");

  // What a process that ended while it wrote a snapshot left, long ago and
  // just now (another one may be writing it).
  fs::create_directories(snapshot_dir());
  const fs::path abandoned = fs::path(snapshot_dir()) / ".snap-abandoned";
  const fs::path in_progress = fs::path(snapshot_dir()) / ".snap-writing";
  write_file(abandoned, "x");
  write_file(in_progress, "x");
  fs::last_write_time(abandoned, fs::file_time_type::clock::now() - std::chrono::hours(2));

  // No snapshot: the ordinary start, which has one made for the next.
  const auto [plain_snapshot, plain_probe] = start_and_probe(*engine);
  EXPECT_FALSE(plain_snapshot);
  ASSERT_TRUE(snapshot_settled(file));
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(in_progress));
  EXPECT_EQ(fs::status(snapshot_dir()).permissions() & fs::perms::all, fs::perms::owner_all);

  // From it, the interpreter is the same as an ordinary start's.
  const auto [from_snapshot, probe] = start_and_probe(*engine);
  EXPECT_TRUE(from_snapshot);
  EXPECT_EQ(probe, plain_probe);

  // A damaged file is thrown away and made again.
  std::string damaged = read_file(file);
  damaged.back() = static_cast<char>(damaged.back() ^ 1);
  write_file(file, damaged);
  EXPECT_FALSE(start_and_probe(*engine).first);
  ASSERT_TRUE(snapshot_settled(file));
  EXPECT_TRUE(read_file(file) != damaged);
  EXPECT_TRUE(start_and_probe(*engine).first);

  // So is one cut short (its bytes are checked as they are sent).
  const std::string whole = read_file(file);
  write_file(file, whole.substr(0, whole.size() / 2));
  EXPECT_FALSE(start_and_probe(*engine).first);
  ASSERT_TRUE(snapshot_settled(file));
  EXPECT_TRUE(start_and_probe(*engine).first);

  // One made for another Pyodide, runner script or Deno (another key) with
  // a digest of its own that matches is not taken either.
  std::string other = read_file(file);
  const std::size_t key_at = other.find('\n') + 1;
  other[key_at] = other[key_at] == 'a' ? 'b' : 'a';
  write_file(file, other);
  EXPECT_FALSE(start_and_probe(*engine).first);
  ASSERT_TRUE(snapshot_settled(file));
  EXPECT_TRUE(read_file(file) != other);
  EXPECT_TRUE(start_and_probe(*engine).first);
}

}  // namespace
}  // namespace vesk
