#include "core/exchange/host_dirs.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs `body` in a forked child, which ends with exit() (exit hooks run) or,
// with `killed`, by SIGKILL (nothing runs). Returns the line the child wrote.
template <class Body>
std::string in_child(Body&& body, bool killed) {
  int fds[2];
  if (::pipe(fds) != 0) return "";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const std::string line = body() + "\n";
    (void)!::write(fds[1], line.data(), line.size());
    if (killed) ::kill(::getpid(), SIGKILL);
    std::exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!out.empty()) out.pop_back();
  return out;
}

TEST(HostDirs, RootIsUnlistableAndOnlyEverOurOwnDirectory) {
  TempDir base("/var/tmp");
  const std::string root = user_root(base.path().string(), ::geteuid());
  EXPECT_EQ(root, base.path().string() + "/vesk-" + std::to_string(::geteuid()));

  auto made = ensure_root(base.path().string());
  ASSERT_TRUE(made) << made.error().message();
  EXPECT_EQ(*made, root);
  EXPECT_EQ(mode_of(root), 0300u);
  ::chmod(root.c_str(), 0755);  // loosened by hand: tightened again
  ASSERT_TRUE(ensure_root(base.path().string()));
  EXPECT_EQ(mode_of(root), 0300u);

  // Whatever else holds the name is never used: a link (to a directory of
  // ours), a file, a directory of another user.
  TempDir elsewhere("/var/tmp");
  ::rmdir(root.c_str());
  fs::create_directory_symlink(elsewhere.path(), root);
  auto linked = ensure_root(base.path().string());
  ASSERT_FALSE(linked);
  EXPECT_EQ(linked.error().message(),
            "'" + root + "' is not a directory of this user; vesk keeps no files there");
  fs::remove(root);
  { std::ofstream(root) << "x"; }
  EXPECT_FALSE(ensure_root(base.path().string()));
  fs::remove(root);
  if (::geteuid() == 0) {
    fs::create_directory(root);
    ASSERT_EQ(::chown(root.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(ensure_root(base.path().string()));
  }
}

TEST(HostDirs, EachProcessHasItsOwnDirectoryGoneWhenItExits) {
  TempDir base("/var/tmp");
  const std::string b = base.path().string();
  auto mine = process_dir(b);
  ASSERT_TRUE(mine) << mine.error().message();
  EXPECT_EQ(fs::path(*mine).parent_path(), fs::path(user_root(b, ::geteuid())));
  EXPECT_EQ(fs::path(*mine).filename().string().size(), 32u);
  EXPECT_EQ(process_dir(b).value_or(""), *mine);
  TempDir other_base("/var/tmp");
  EXPECT_NE(process_dir(other_base.path().string()).value_or(*mine), *mine);

  // A forked child gets a directory of its own and removes it when it exits;
  // the parent's stays.
  const std::string child = in_child([&] { return process_dir(b).value_or("failed"); }, false);
  EXPECT_NE(child, *mine);
  EXPECT_EQ(fs::path(child).parent_path(), fs::path(*mine).parent_path());
  EXPECT_FALSE(fs::exists(child));
  EXPECT_TRUE(fs::is_directory(*mine));
}

TEST(HostDirs, DirectoriesOfProcessesThatNoLongerExistAreRemoved) {
  TempDir base("/var/tmp");
  const std::string b = base.path().string();
  ASSERT_TRUE(process_dir(b));  // this process's cleaning is done
  // A live process keeps its directory while others clean up. (Every
  // process cleans when it makes its first directory: this one goes first.)
  int hold[2];
  int told[2];
  ASSERT_EQ(::pipe(hold), 0);
  ASSERT_EQ(::pipe(told), 0);
  const pid_t live = ::fork();
  if (live == 0) {
    ::close(hold[1]);
    ::close(told[0]);
    const std::string dir = process_dir(b).value_or("failed") + "\n";
    (void)!::write(told[1], dir.data(), dir.size());
    char c;
    (void)!::read(hold[0], &c, 1);
    _exit(0);
  }
  ::close(hold[0]);
  ::close(told[1]);
  char buffer[512];
  const ssize_t n = ::read(told[0], buffer, sizeof buffer);
  ASSERT_GT(n, 1);
  const std::string alive(buffer, static_cast<std::size_t>(n - 1));

  // A killed process leaves its directory, with a work directory in it.
  const std::string dead = in_child(
      [&] {
        auto dir = process_dir(b);
        if (!dir) return std::string("failed");
        fs::create_directories(*dir + "/vesk-bash-x/deep");
        return *dir;
      },
      true);
  ASSERT_TRUE(fs::is_directory(dead + "/vesk-bash-x/deep")) << dead;
  EXPECT_GE(remove_stale_process_dirs(), 1);
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::is_directory(alive));
  EXPECT_EQ(remove_stale_process_dirs(), 0);

  ::close(hold[1]);
  ::close(told[0]);
  ::waitpid(live, nullptr, 0);
  // It ended without its exit hooks: the next cleaning takes its directory.
  EXPECT_TRUE(fs::is_directory(alive));
  EXPECT_GE(remove_stale_process_dirs(), 1);
  EXPECT_FALSE(fs::exists(alive));
}

TEST(HostDirs, SandboxesHideTheFixedRootsAndTmpdir) {
  TempDir tmpdir("/var/tmp");
  const std::string t = fs::canonical(tmpdir.path()).string();
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ::setenv("TMPDIR", t.c_str(), 1);
  const std::vector<std::string> hidden = sandbox_hidden_roots();
  if (old) ::setenv("TMPDIR", saved.c_str(), 1); else ::unsetenv("TMPDIR");
  const std::string var_root = user_root("/var/tmp", ::geteuid());
  EXPECT_NE(std::find(hidden.begin(), hidden.end(), var_root), hidden.end());
  EXPECT_NE(std::find(hidden.begin(), hidden.end(), t), hidden.end());
  EXPECT_TRUE(fs::is_directory(var_root));
}

}  // namespace
}  // namespace vesk
