// The implementation of kept_dir.h; its role and contract are stated there.

#include "core/shell/kept_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/exchange/fs_tree.h"
#include "core/history/key.h"
#include "core/base/parallel.h"
#include "core/base/utf8.h"
#include "core/exchange/workspace.h"

namespace vesk {

struct KeptWorkDir::Node {
  FileStamp stamp;
  bool dir = false;
  // Set by prestat() for a file found unchanged in this collect(), taken
  // back by visit() when it comes to the file.
  bool quiet = false;
  // The inotify watch on the file's inode whose stamp is recorded; -1 when
  // there is none yet (a new inode) or none could be had.
  int wd = -1;
  // For a directory: when the last collect() went through its entries, every
  // one was a file whose watch vouched for it, `watched_files` of them.
  bool watched_leaf = false;
  std::uint64_t watched_files = 0;
  std::unordered_map<std::string, std::unique_ptr<Node>> children;
};

// What collect() found changed, before it reads or changes anything.
struct KeptWorkDir::Scan {
  struct Changed {
    std::string key;
    std::uint64_t size;  // from the file system, for the early size refusal
    bool relink;         // more than one name: linked to another file
    bool chmod;          // permission bits other than the default
    FileStamp stamp;     // as found
    bool new_name;       // no file was recorded under the key
    // Set by find_moved(): the key a recorded file had before a directory
    // of its path moved; its contents are those held under that key.
    std::string from;
  };
  std::vector<std::string> removed;     // keys that are gone
  std::vector<Changed> changed;         // regular files to read back
  std::vector<std::string> unlink;      // links, FIFOs, sockets, devices
  std::vector<std::string> rmdir;       // directories without a file, deepest first
  std::vector<std::string> chmod_dirs;  // "" is the root
  std::set<std::string> touched;        // directories to stamp anew
  // Records of directories no longer at their place (gone, or another
  // directory there now), kept until the scan ends: the files of a directory
  // that moved are found among them.
  std::vector<std::pair<std::string, std::unique_ptr<Node>>> buried;

  // The record at `relative` goes: its keys are removed.
  void forget(const std::string& relative, std::unique_ptr<Node> node);
};

namespace {

bool earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

timespec coarse_now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

std::string parent_of(const std::string& relative) {
  const std::size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

// A key the file system gives back as it is: no empty or "." component.
// Others ("./a", "a//b") come back in another form, so the record could not
// stand for them.
bool kept_as_is(std::string_view key) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = key.find('/', start);
    const std::string_view part = key.substr(start, slash - start);
    if (part.empty() || part == ".") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

// The process's umask, read without changing it (umask(2) would, for every
// thread at once); nullopt when /proc does not say.
std::optional<mode_t> read_umask() {
  std::FILE* f = std::fopen("/proc/self/status", "re");
  if (f == nullptr) return std::nullopt;
  char line[256];
  std::optional<mode_t> mask;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned value = 0;
    if (std::sscanf(line, "Umask: %o", &value) == 1) {
      mask = static_cast<mode_t>(value & 0777);
      break;
    }
  }
  std::fclose(f);
  return mask;
}

// Every key recorded at or below `node`.
void record_keys(const std::string& relative, const auto& node, std::vector<std::string>& keys) {
  if (!node.dir) {
    keys.push_back(relative);
    return;
  }
  for (const auto& [name, child] : node.children) {
    record_keys(relative + "/" + name, *child, keys);
  }
}

}  // namespace

void KeptWorkDir::Scan::forget(const std::string& relative, std::unique_ptr<Node> node) {
  record_keys(relative, *node, removed);
  if (node->dir && !node->children.empty()) buried.emplace_back(relative, std::move(node));
}

FileStamp stamp_of(const struct stat& st) {
  FileStamp s;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.type = st.st_mode & S_IFMT;
  s.ctime = st.st_ctim;
  s.mtime = st.st_mtim;
  return s;
}

bool stamp_unchanged(const FileStamp& recorded, const FileStamp& now, const timespec& reading,
                     bool whole_seconds) {
  if (recorded.ino != now.ino || recorded.size != now.size || recorded.type != now.type ||
      !same_time(recorded.ctime, now.ctime) || !same_time(recorded.mtime, now.mtime)) {
    return false;
  }
  // With timestamps cut to whole seconds, a change later in the second of the
  // reading gets the second's start as its ctime.
  const timespec bound = whole_seconds ? timespec{reading.tv_sec, 0} : reading;
  return earlier(recorded.ctime, bound);
}

KeptWorkDir::KeptWorkDir() = default;

KeptWorkDir::~KeptWorkDir() { drop(); }

void KeptWorkDir::drop() {
  remove();
  room_.release();
}

void KeptWorkDir::remove() {
  records_settled_ = false;
  root_fd_.reset();
  watches_.reset();
  if (!path_.empty()) remove_tree(path_);
  path_.clear();
  parent_.clear();
  root_.reset();
  held_ = FileMap();
}

bool KeptWorkDir::reopen() {
  root_fd_ = UniqueFd(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  // Only the directory this object made and recorded will do.
  return root_fd_ && ::fstat(root_fd_.get(), &st) == 0 && st.st_ino == root_->stamp.ino;
}

Status KeptWorkDir::create(const std::string& parent) {
  std::string pattern = parent;
  if (pattern.empty() || pattern.back() != '/') pattern += '/';
  pattern += "vesk-bash-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return fail(Error::last_os_error());
  path_ = std::move(pattern);
  parent_ = parent;
  root_fd_ = UniqueFd(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!root_fd_ || ::fstat(root_fd_.get(), &st) != 0) {
    Error error = Error::last_os_error();
    remove();
    return fail(std::move(error));
  }
  root_ = std::make_unique<Node>();
  root_->dir = true;
  root_->stamp = stamp_of(st);
  held_ = FileMap();
  // Without an instance every file is looked at.
  (void)watches_.open();
  // Only tmpfs is known here to keep nanoseconds; elsewhere the rule counts
  // from the start of the second, which costs a few needless reads at most.
  struct statfs fs;
  in_memory_ = ::fstatfs(root_fd_.get(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
  whole_seconds_ = !in_memory_;
  const std::optional<mode_t> mask = read_umask();
  exact_ = mask.has_value();
  file_mode_ = 0666 & ~mask.value_or(0);
  dir_mode_ = 0777 & ~mask.value_or(0);
  return {};
}

KeptWorkDir::Node* KeptWorkDir::find(const std::string& relative) {
  Node* node = root_.get();
  std::size_t start = 0;
  while (node != nullptr && start < relative.size()) {
    const std::size_t slash = std::min(relative.find('/', start), relative.size());
    auto it = node->children.find(relative.substr(start, slash - start));
    node = it == node->children.end() ? nullptr : it->second.get();
    start = slash + 1;
  }
  return node;
}

KeptWorkDir::Node& KeptWorkDir::make_path(const std::string& relative, bool dir,
                                          std::set<std::string>* touched) {
  records_settled_ = false;
  Node* node = root_.get();
  std::size_t start = 0;
  while (start < relative.size()) {
    const std::size_t slash = std::min(relative.find('/', start), relative.size());
    std::unique_ptr<Node>& child = node->children[relative.substr(start, slash - start)];
    if (!child) {
      child = std::make_unique<Node>();
      all_watched_ = false;
      touched->insert(relative.substr(0, start == 0 ? 0 : start - 1));
    }
    child->dir = slash < relative.size() || dir;
    node = child.get();
    start = slash + 1;
  }
  return *node;
}

Status KeptWorkDir::restamp(const std::string& relative) {
  records_settled_ = false;
  Node* node = find(relative);
  if (node == nullptr) return {};
  struct stat st;
  const int rc = relative.empty()
                     ? ::fstat(root_fd_.get(), &st)
                     : ::fstatat(root_fd_.get(), relative.c_str(), &st, AT_SYMLINK_NOFOLLOW);
  if (rc != 0) return fail(Error::last_os_error());
  // A file recorded anew may be a new inode, even under the number of one
  // that is gone (ext4 reuses them): it is watched afresh.
  node->wd = -1;
  all_watched_ = false;
  node->stamp = stamp_of(st);
  return {};
}

Status KeptWorkDir::sync(const FileMap& files) {
  std::vector<std::string> removed;
  std::vector<std::pair<std::string_view, const Content*>> written;
  for (const FileMap::Difference& d : FileMap::diff(held_, files)) {
    if (d.to == nullptr) {
      removed.emplace_back(d.key);
      continue;
    }
    if (auto s = validate_file_path(d.key); !s) return s;
    if (!kept_as_is(d.key)) exact_ = false;
    written.emplace_back(d.key, d.to);
  }
  if (!removed.empty() || !written.empty()) records_settled_ = false;
  std::set<std::string> touched;
  for (const std::string& key : removed) {
    if (::unlinkat(root_fd_.get(), key.c_str(), 0) != 0) return fail(Error::last_os_error());
    // A fresh directory has no directory that holds no file.
    std::string dir = parent_of(key);
    if (Node* parent = find(dir)) {
      parent->children.erase(key.substr(dir.empty() ? 0 : dir.size() + 1));
    }
    while (!dir.empty()) {
      Node* node = find(dir);
      if (node == nullptr || !node->children.empty()) break;
      if (::unlinkat(root_fd_.get(), dir.c_str(), AT_REMOVEDIR) != 0) {
        return fail(Error::last_os_error());
      }
      const std::string up = parent_of(dir);
      find(up)->children.erase(dir.substr(up.empty() ? 0 : up.size() + 1));
      dir = up;
    }
    touched.insert(dir);
  }
  // Sorted, the files of one directory are written by one thread (see
  // materialize). Each goes through a new inode: a hard link a command made
  // between two files must not carry one write into the other.
  std::sort(written.begin(), written.end());
  const std::size_t workers = worker_count(written.size());
  std::vector<std::optional<TreeWriter>> writers(workers);
  Status wrote = parallel_for(written.size(), workers, [&](std::size_t i, std::size_t w) -> Status {
    if (!writers[w]) {
      auto opened = TreeWriter::open(path_);
      if (!opened) return fail(opened.error());
      writers[w].emplace(std::move(*opened));
    }
    return writers[w]->replace(written[i].first, **written[i].second);
  });
  if (!wrote) return wrote;
  for (const auto& [key, content] : written) {
    const std::string relative(key);
    make_path(relative, false, &touched);
    touched.insert(parent_of(relative));
    if (auto s = restamp(relative); !s) return s;
  }
  for (const std::string& dir : touched) {
    if (auto s = restamp(dir); !s) return s;
  }
  held_ = files;
  reading_ = coarse_now();
  return {};
}

Result<std::string> KeptWorkDir::prepare(const FileMap& files, const std::string& parent) {
  auto result = guard([&]() -> Result<std::string> {
    if (exists() && exact_ && parent == parent_ && reopen()) {
      if (sync(files)) {
        watch_files();
        return path_;
      }
    }
    remove();
    if (auto s = create(parent); !s) return fail(s.error());
    if (auto s = sync(files); !s) return fail(s.error());
    watch_files();
    return path_;
  });
  if (!result) remove();
  return result;
}

bool KeptWorkDir::visit(int fd, const std::string& prefix, Node& node, bool list, Scan& scan,
                        std::uint64_t* files_below) {
  const std::string self = prefix.empty() ? std::string() : prefix.substr(0, prefix.size() - 1);
  std::uint64_t files = 0;
  // Looks at the entry `name`, whose record `slot` holds (null: none). False
  // when nothing can be trusted; afterwards `slot` is null when the entry is
  // to have no record.
  auto look = [&](const std::string& name, std::unique_ptr<Node>& slot) -> bool {
    Node* child = slot.get();
    // `node` is the recorded directory itself, so a recorded file whose
    // inode reported nothing is still its entry under this name.
    if (child != nullptr && !child->dir &&
        (child->quiet || (reported_ && child->wd >= 0 && reported_->count(child->wd) == 0))) {
      child->quiet = false;
      ++files;
      return true;
    }
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    const FileStamp now = stamp_of(st);
    const std::string relative = prefix + name;
    if (S_ISREG(st.st_mode)) {
      ++files;
      if (child != nullptr && !child->dir &&
          stamp_unchanged(child->stamp, now, reading_, whole_seconds_)) {
        return true;
      }
      const bool new_name = child == nullptr || child->dir;
      if (child != nullptr && child->dir) scan.forget(relative, std::move(slot));
      if (!slot) slot = std::make_unique<Node>();
      all_watched_ = false;
      scan.changed.push_back({relative, static_cast<std::uint64_t>(st.st_size), st.st_nlink > 1,
                              (st.st_mode & 07777) != file_mode_, now, new_name, {}});
      return true;
    }
    if (S_ISDIR(st.st_mode)) {
      UniqueFd sub(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat opened;
      if (!sub || ::fstat(sub.get(), &opened) != 0 || opened.st_ino != st.st_ino) return false;
      // The recorded entries stand for the directory at this name only when
      // it is the recorded directory. Its inode number tells: another
      // directory there now, moved in, swapped or exchanged, or made anew,
      // has another number as long as the recorded one lives, and a recorded
      // entry trusted without a look proves that it lives.
      const bool same = child != nullptr && child->dir && child->stamp.ino == st.st_ino;
      if (child != nullptr && !same) scan.forget(relative, std::move(slot));
      if (!slot) {
        slot = std::make_unique<Node>();
        slot->dir = true;
      }
      const bool sub_list = !same || !stamp_unchanged(slot->stamp, now, reading_, whole_seconds_);
      std::uint64_t below = 0;
      if (!visit(sub.get(), relative + "/", *slot, sub_list, scan, &below)) return false;
      if (sub_list) {
        scan.touched.insert(relative);
        if ((st.st_mode & 07777) != dir_mode_) scan.chmod_dirs.push_back(relative);
      }
      if (below == 0) {
        // A fresh directory would not have it: only files make directories.
        scan.rmdir.push_back(relative);
        scan.touched.insert(self);
        slot.reset();
      }
      files += below;
      return true;
    }
    if (child != nullptr) scan.forget(relative, std::move(slot));
    scan.unlink.push_back(relative);
    scan.touched.insert(self);
    return true;
  };

  if (!list) {
    if (trust_watched_leaves_ && node.watched_leaf) {
      // No record changed since the last collect() found every entry here a
      // file whose watch vouched for it, and no watch has reported anything
      // since: the loop below would pass over each of them unlooked.
      *files_below = node.watched_files;
      return true;
    }
    bool leaf = reported_.has_value();
    for (auto it = node.children.begin(); it != node.children.end();) {
      const Node* child = it->second.get();
      leaf = leaf && child != nullptr && !child->dir && child->wd >= 0 &&
             reported_->count(child->wd) == 0;
      if (!look(it->first, it->second)) return false;
      it = it->second ? std::next(it) : node.children.erase(it);
    }
    node.watched_leaf = leaf;
    node.watched_files = files;
    *files_below = files;
    return true;
  }
  node.watched_leaf = false;
  std::vector<std::string> names;
  {
    const int listed = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0) return false;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listed), &::closedir);
    if (!dir) {
      ::close(listed);
      return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      // Such a name becomes another key (lossy UTF-8) than the file's name.
      if (!is_valid_utf8(name)) return false;
      names.emplace_back(name);
    }
    if (errno != 0) return false;
  }
  const std::unordered_set<std::string> present(names.begin(), names.end());
  for (auto it = node.children.begin(); it != node.children.end();) {
    if (present.count(it->first) == 0) {
      scan.forget(prefix + it->first, std::move(it->second));
      it = node.children.erase(it);
    } else {
      ++it;
    }
  }
  for (const std::string& name : names) {
    std::unique_ptr<Node>& slot = node.children[name];
    const bool looked = look(name, slot);
    if (!slot) node.children.erase(name);
    if (!looked) return false;
  }
  *files_below = files;
  return true;
}

void KeptWorkDir::find_moved(Scan& scan) const {
  if (scan.buried.empty()) return;
  // The recorded files below the directories that left their places, by
  // inode number.
  std::unordered_map<ino_t, std::pair<std::string, const Node*>> recorded;
  auto index = [&](auto& self, const std::string& relative, const Node& node) -> void {
    if (!node.dir) {
      recorded.emplace(node.stamp.ino, std::pair<std::string, const Node*>(relative, &node));
      return;
    }
    for (const auto& [name, child] : node.children) self(self, relative + "/" + name, *child);
  };
  for (const auto& [relative, node] : scan.buried) index(index, relative, *node);
  for (Scan::Changed& c : scan.changed) {
    if (!c.new_name || c.relink) continue;
    auto it = recorded.find(c.stamp.ino);
    // The stamp rule proves the inode the recorded one, unchanged (a file
    // made after the reading has a later ctime); moving a directory does
    // not touch the inodes below it.
    if (it == recorded.end() ||
        !stamp_unchanged(it->second.second->stamp, c.stamp, reading_, whole_seconds_) ||
        !held_.contains(it->second.first)) {
      continue;
    }
    c.from = it->second.first;
    recorded.erase(it);
  }
}

void KeptWorkDir::prestat() {
  // The files that no unreported watch vouches for.
  auto needs_look = [this](const Node& file) {
    return !reported_ || file.wd < 0 || reported_->count(file.wd) != 0;
  };
  std::vector<std::pair<std::string, Node*>> dirs;
  std::size_t files = 0;
  auto gather = [&](auto& self, const std::string& relative, Node& node) -> void {
    std::size_t own = 0;
    for (auto& [name, child] : node.children) {
      if (child->dir) {
        self(self, relative.empty() ? name : relative + "/" + name, *child);
      } else if (needs_look(*child)) {
        ++own;
      }
    }
    if (own > 0) dirs.emplace_back(relative, &node);
    files += own;
  };
  gather(gather, "", *root_);
  const std::size_t workers = worker_count(files);
  if (workers < 2) return;
  // Every directory is reached by its recorded path without following a
  // link, as visit() reaches it step by step, and nothing changes it any
  // more: both look at the same entries.
  (void)parallel_for(dirs.size(), workers, [&](std::size_t i, std::size_t) -> Status {
    const auto& [relative, node] = dirs[i];
    UniqueFd own;
    if (!relative.empty()) own = open_no_links(root_fd_.get(), relative, O_RDONLY | O_DIRECTORY);
    const int fd = relative.empty() ? root_fd_.get() : own.get();
    for (auto& [name, child] : node->children) {
      if (child->dir || !needs_look(*child)) continue;
      struct stat st;
      child->quiet = fd >= 0 && ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                     stamp_unchanged(child->stamp, stamp_of(st), reading_, whole_seconds_);
    }
    return {};
  });
}

namespace {

// Every event that a change of a file's bytes, mode, times or names gives its
// inode; an open comes first of all, even of a write through a mapping.
constexpr std::uint32_t kWatchedEvents =
    IN_OPEN | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;

}  // namespace

void KeptWorkDir::forget_watches() {
  records_settled_ = false;
  watches_.reset();
  all_watched_ = false;
  auto clear = [](auto& self, Node& node) -> void {
    node.wd = -1;
    for (auto& [name, child] : node.children) self(self, *child);
  };
  if (root_) clear(clear, *root_);
}

void KeptWorkDir::watch_files() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    // An instance given up (or not to be had) earlier may be had now.
    if (!watches_.valid() && !watches_.open()) break;
    std::size_t unwatched = 0;
    auto arm = [&](auto& self, const std::string& relative, Node& node) -> void {
      for (auto& [name, child] : node.children) {
        if (child->dir) {
          self(self, relative + "/" + name, *child);
          continue;
        }
        // Nothing else writes the directory now: the inode at that name is
        // the one whose stamp is recorded.
        if (child->wd < 0) child->wd = watches_.add((relative + "/" + name).c_str(), kWatchedEvents);
        if (child->wd < 0) ++unwatched;
      }
    };
    if (!all_watched_) {
      records_settled_ = false;
      arm(arm, path_, *root_);
    }
    // What is queued so far came from vesk's own writes, not from the
    // command. When some of it was lost, so were reports of watches that
    // went: the count of those held is no longer known, and the instance
    // starts over.
    std::unordered_set<int> ours;
    if (watches_.drain(&ours)) {
      unwatched_ = unwatched;
      all_watched_ = unwatched == 0;
      return;
    }
    forget_watches();
  }
  forget_watches();
}

Result<FileMap> KeptWorkDir::collect_changes(std::optional<std::uint64_t> max_workspace_mb,
                                             bool* unsure) {
  *unsure = true;
  // A clock that went backwards while the command ran could give a change
  // the very ctime recorded before it.
  if (!root_fd_ || !exact_ || earlier(coarse_now(), reading_)) return FileMap();
  Scan scan;
  struct stat st;
  if (::fstat(root_fd_.get(), &st) != 0) return FileMap();
  const bool list_root = !stamp_unchanged(root_->stamp, stamp_of(st), reading_, whole_seconds_);
  if (list_root) {
    scan.touched.insert("");
    if ((st.st_mode & 07777) != 0700) scan.chmod_dirs.push_back("");
  }
  // One look at every recorded file is most of the cost: the files whose
  // inodes reported nothing need none (visit() asks `reported_`); the others
  // (all of them when the events cannot tell), when there are many, are
  // looked at on a few threads first.
  reported_.emplace();
  if (!watches_.valid() || !watches_.drain(&*reported_)) {
    reported_.reset();
    // Reports of watches that went may be lost too: start over.
    forget_watches();
  }
  if (!reported_ || worker_count(unwatched_ + reported_->size()) > 1) prestat();
  // A directory whose entries were all vouched for by their watches the last
  // time need not be gone through again while nothing has changed a record
  // since and no watch has reported anything; its own inode and stamp are
  // still looked at on the way down, as every directory's.
  trust_watched_leaves_ = records_settled_ && reported_ && reported_->empty();
  records_settled_ = false;
  std::uint64_t files_below = 0;
  const bool visited = visit(root_fd_.get(), "", *root_, list_root, scan, &files_below);
  trust_watched_leaves_ = false;
  if (!visited) return FileMap();
  if (!scan.buried.empty()) {
    find_moved(scan);
    // A directory that took another's place may hold keys the other held:
    // those are changed, not removed.
    std::unordered_set<std::string_view> again;
    for (const Scan::Changed& c : scan.changed) again.insert(c.key);
    std::erase_if(scan.removed, [&](const std::string& key) { return again.count(key) != 0; });
  }

  // Measured before anything is read, from the sizes the file system gives.
  auto held_size = [this](const std::string& key) -> std::uint64_t {
    const Content* content = held_.find(key);
    return content == nullptr ? 0 : (*content)->size();
  };
  std::uint64_t total = held_.total_bytes();
  for (const std::string& key : scan.removed) total -= held_size(key);
  for (const Scan::Changed& c : scan.changed) {
    total -= held_size(c.key);
    total = total > UINT64_MAX - c.size ? UINT64_MAX : total + c.size;
  }
  if (max_workspace_mb) {
    constexpr std::uint64_t kMiB = 1048576;
    const std::uint64_t limit =
        *max_workspace_mb > UINT64_MAX / kMiB ? UINT64_MAX : *max_workspace_mb * kMiB;
    if (total > limit) {
      *unsure = false;
      return fail_message("workspace size " + std::to_string(total) + " bytes exceeds limit of " +
                          std::to_string(limit) + " bytes");
    }
  }

  std::vector<std::string> contents(scan.changed.size());
  const Status read = parallel_for(
      contents.size(), worker_count(contents.size()), [&](std::size_t i, std::size_t) -> Status {
        if (!scan.changed[i].from.empty()) return {};
        UniqueFd fd = open_no_links(root_fd_.get(), scan.changed[i].key, O_RDONLY | O_NONBLOCK);
        if (!fd) return fail(Error::last_os_error());
        auto content = read_open_file(fd.get());
        if (!content) return fail(content.error());
        if (!*content) return fail_message("not a regular file");
        contents[i] = std::move(**content);
        return {};
      });
  if (!read) return FileMap();

  // Back to what a fresh directory would hold. Nothing above changed a
  // file's bytes, so a failure here still leaves the full read its answer.
  for (const std::string& relative : scan.unlink) {
    if (::unlinkat(root_fd_.get(), relative.c_str(), 0) != 0) return FileMap();
  }
  std::optional<TreeWriter> writer;
  for (std::size_t i = 0; i < scan.changed.size(); ++i) {
    const Scan::Changed& c = scan.changed[i];
    if (c.relink) {
      if (!writer) {
        auto opened = TreeWriter::open(path_);
        if (!opened) return FileMap();
        writer.emplace(std::move(*opened));
      }
      if (!writer->replace(c.key, contents[i])) return FileMap();
      scan.touched.insert(parent_of(c.key));
    }
    if (c.chmod && ::fchmodat(root_fd_.get(), c.key.c_str(), file_mode_, 0) != 0) return FileMap();
  }
  for (const std::string& relative : scan.chmod_dirs) {
    const int rc = relative.empty() ? ::fchmod(root_fd_.get(), 0700)
                                    : ::fchmodat(root_fd_.get(), relative.c_str(), dir_mode_, 0);
    if (rc != 0) return FileMap();
  }
  for (const std::string& relative : scan.rmdir) {
    if (::unlinkat(root_fd_.get(), relative.c_str(), AT_REMOVEDIR) != 0) return FileMap();
  }
  for (const Scan::Changed& c : scan.changed) {
    if (!restamp(c.key)) return FileMap();
  }
  for (const std::string& dir : scan.touched) {
    if (!restamp(dir)) return FileMap();
  }

  // Nothing found, nothing recorded anew: the records stand as this walk
  // left them for the next.
  records_settled_ = scan.changed.empty() && scan.removed.empty() && scan.unlink.empty() &&
                     scan.rmdir.empty() && scan.chmod_dirs.empty() && scan.touched.empty() &&
                     scan.buried.empty();
  FileMap out = held_;
  for (const std::string& key : scan.removed) out.erase(key);
  for (std::size_t i = 0; i < scan.changed.size(); ++i) {
    const Scan::Changed& c = scan.changed[i];
    out.set(c.key, c.from.empty() ? make_content(std::move(contents[i])) : *held_.find(c.from));
  }
  held_ = out;
  reading_ = coarse_now();
  *unsure = false;
  return out;
}

Result<FileMap> KeptWorkDir::collect(std::optional<std::uint64_t> max_workspace_mb) {
  bool unsure = true;
  auto changes = guard([&] { return collect_changes(max_workspace_mb, &unsure); });
  if (changes && !unsure) {
    // Between commands the session holds no descriptor of it.
    root_fd_.reset();
    return changes;
  }
  if (!changes && !unsure) {
    remove();
    return changes;
  }
  // The command's files are all still there: read them the plain way, and
  // start the next command afresh.
  Result<FileMap> full = root_fd_ ? vesk::collect(path_, max_workspace_mb)
                                  : Result<FileMap>(fail_message("work directory is gone"));
  remove();
  return full;
}

}  // namespace vesk
