// The implementation of host_dirs.h; its role and contract are stated there.

#include "core/exchange/host_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include "core/exchange/fs_tree.h"
#include "core/base/io.h"

namespace vesk {

namespace {

constexpr const char* kFixedBases[] = {"/dev/shm", "/var/tmp"};
constexpr mode_t kRootMode = 0300;
constexpr std::size_t kNameHexDigits = 32;

std::string read_small_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Field 22 of /proc/{pid}/stat, the start time in clock ticks since boot; 0
// when the process does not exist.
unsigned long long start_time(pid_t pid) {
  const std::string stat = read_small_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return 0;
}

std::string boot_id() {
  std::string id = read_small_file("/proc/sys/kernel/random/boot_id");
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id.empty() ? "noboot" : id;
}

}  // namespace

std::string process_name(pid_t pid) {
  return boot_id() + "-" + std::to_string(pid) + "-" + std::to_string(start_time(pid));
}

bool process_alive(const std::string& name) {
  const std::string boot = boot_id();
  if (name.size() <= boot.size() + 1 || name.compare(0, boot.size(), boot) != 0 ||
      name[boot.size()] != '-') {
    return false;  // recorded in another boot, or not by us
  }
  const std::string rest = name.substr(boot.size() + 1);
  const std::size_t dash = rest.find('-');
  if (dash == std::string::npos) return false;
  const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
  if (pid <= 0) return false;
  return std::to_string(start_time(static_cast<pid_t>(pid))) == rest.substr(dash + 1);
}

namespace {

Result<std::string> random_name() {
  unsigned char bytes[kNameHexDigits / 2];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(Error::last_os_error());
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

// A path recorded in an index names a process directory: "/…/vesk-{uid}/"
// followed by the random name, and nothing else may be removed through it.
bool is_process_dir_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash == std::string::npos) return false;
  const std::string name = path.substr(slash + 1);
  if (name.size() != kNameHexDigits ||
      !std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
      })) {
    return false;
  }
  const std::string parent = path.substr(0, slash);
  const std::size_t parent_slash = parent.rfind('/');
  return parent_slash != std::string::npos &&
         parent.substr(parent_slash + 1) == "vesk-" + std::to_string(::geteuid());
}

// The process's directories, per base; reset in a forked child.
struct State {
  std::mutex mu;
  pid_t owner = 0;
  std::map<std::string, std::string> dirs;  // base -> process directory
  std::string index_file;                   // empty: no index could be made
  bool exit_hook = false;
};

State& state() {
  static State* s = new State();  // never destroyed: used by the exit hook
  return *s;
}

void remove_own_dirs_at_exit() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.owner != ::getpid()) return;
  for (const auto& [base, dir] : s.dirs) remove_tree(dir);
  if (!s.index_file.empty()) ::unlink(s.index_file.c_str());
}

std::optional<std::string> index_dir() { return user_state_dir("processes"); }

}  // namespace

// The directory `name` in the first fixed root that is ours.
std::optional<std::string> user_state_dir(const std::string& name) {
  for (const char* base : kFixedBases) {
    auto root = ensure_root(base);
    if (!root) continue;
    const std::string dir = *root + "/" + name;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) continue;
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
      continue;
    }
    return dir;
  }
  return std::nullopt;
}

namespace {

// Removes what one index file lists, once this process holds it under a name
// no other cleaner will take.
int clean_claimed(const std::string& claimed) {
  int removed = 0;
  std::istringstream lines(read_small_file(claimed));
  std::string path;
  while (std::getline(lines, path)) {
    if (!is_process_dir_path(path)) continue;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      remove_tree(path);
      ++removed;
    }
  }
  ::unlink(claimed.c_str());
  return removed;
}

}  // namespace

std::string user_root(std::string_view base, unsigned uid) {
  return std::string(base) + "/vesk-" + std::to_string(uid);
}

Result<std::string> ensure_root(const std::string& base) {
  const std::string root = user_root(base, ::geteuid());
  if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) return fail(Error::last_os_error());
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0) return fail(Error::last_os_error());
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return fail_message("'" + root + "' is not a directory of this user; vesk keeps no files there");
  }
  if ((st.st_mode & 07777) != kRootMode && ::chmod(root.c_str(), kRootMode) != 0) {
    return fail(Error::last_os_error());
  }
  return root;
}

std::vector<std::string> ensure_fixed_roots() {
  std::vector<std::string> roots;
  for (const char* base : kFixedBases) {
    (void)ensure_root(base);
    const std::string root = user_root(base, ::geteuid());
    struct stat st;
    if (::lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) roots.push_back(root);
  }
  return roots;
}

std::vector<std::string> sandbox_hidden_roots() {
  std::vector<std::string> dirs;
  auto add = [&dirs](const std::string& dir) {
    if (dir != "/" && std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
  };
  for (const std::string& root : ensure_fixed_roots()) add(canonical_path(root).value_or(root));

  // $TMPDIR, and a directory the host keeps private data in
  // (VESK_SANDBOX_HIDE: vesk serve's store), which commands would otherwise
  // read, running as the same user.
  for (const char* name : {"TMPDIR", "VESK_SANDBOX_HIDE"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') continue;
    struct stat st;
    if (auto dir = canonical_path(value);
        dir && !path_has_prefix(*dir, "/tmp") && ::stat(dir->c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      add(*dir);
    }
  }
  return dirs;
}

int remove_stale_process_dirs() {
  const std::optional<std::string> dir = index_dir();
  if (!dir) return 0;
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir->c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  const std::string me = process_name(::getpid());
  int removed = 0;
  for (const std::string& name : names) {
    // "{process}" or "{process}.cleaning-{cleaner}": the second is taken over
    // only when its cleaner died before it was done.
    const std::size_t mark = name.find(".cleaning-");
    const std::string owner = name.substr(0, mark);
    if (owner == me || process_alive(owner)) continue;
    if (mark != std::string::npos && process_alive(name.substr(mark + 10))) continue;
    const std::string claimed = *dir + "/" + owner + ".cleaning-" + me;
    if (::rename((*dir + "/" + name).c_str(), claimed.c_str()) != 0) continue;  // another took it
    removed += clean_claimed(claimed);
  }
  return removed;
}

Result<std::string> process_dir(const std::string& base) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.owner != ::getpid()) {
    // A forked child shares nothing of its parent's: the parent removes its
    // directories when it goes.
    s.owner = ::getpid();
    s.dirs.clear();
    s.index_file.clear();
    if (auto index = index_dir()) s.index_file = *index + "/" + process_name(s.owner);
    (void)remove_stale_process_dirs();
    if (!s.exit_hook) s.exit_hook = std::atexit(remove_own_dirs_at_exit) == 0;
  }
  if (auto it = s.dirs.find(base); it != s.dirs.end()) {
    struct stat st;
    if (::lstat(it->second.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return it->second;
    s.dirs.erase(it);  // removed meanwhile (by hand, say): make another
  }
  Result<std::string> root = ensure_root(base);
  if (!root) return fail(root.error());
  Result<std::string> name = random_name();
  if (!name) return fail(name.error());
  const std::string dir = *root + "/" + *name;
  // Recorded before it exists, so that no end of this process leaves it
  // unrecorded.
  if (!s.index_file.empty()) {
    UniqueFd index(::open(s.index_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (index) (void)write_all(index.get(), dir + "\n");
  }
  if (::mkdir(dir.c_str(), 0700) != 0) return fail(Error::last_os_error());
  s.dirs[base] = dir;
  return dir;
}

}  // namespace vesk
