// The implementation of snapshot.h; its role and contract are stated there.

#include "core/runner/snapshot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <openssl/evp.h>

#include "core/base/io.h"
#include "core/base/process.h"
#include "core/runner/runner_process.h"
#include "core/runner/runner_script.h"

namespace vesk {

namespace {

constexpr std::string_view kMagic = "vesk start snapshot 1\n";

std::string hex(const unsigned char* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xF];
  }
  return out;
}

std::string snapshot_path(const std::string& key) { return snapshot_dir() + "/" + key + ".snap"; }

// The file's header: magic, key, digest, each on a line of its own.
std::string header_of(const std::string& key, const std::string& digest) {
  return std::string(kMagic) + key + "\n" + digest + "\n";
}

// The snapshot bytes of `file` when its header names `key` and its bytes
// have the digest it records.
std::optional<std::string> checked_bytes(std::string file, const std::string& key) {
  const std::string prefix = std::string(kMagic) + key + "\n";
  if (!file.starts_with(prefix)) return std::nullopt;
  const std::size_t digest_end = file.find('\n', prefix.size());
  if (digest_end == std::string::npos) return std::nullopt;
  const std::string digest = file.substr(prefix.size(), digest_end - prefix.size());
  file.erase(0, digest_end + 1);
  if (sha256_hex(file) != digest) return std::nullopt;
  return file;
}

Result<std::string> read_whole(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return fail(Error::last_os_error());
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(Error::last_os_error());
  if (!S_ISREG(st.st_mode)) return fail(Error::os(EINVAL));
  FdReader reader(fd.get());
  std::string out;
  reader.read_exact(out, static_cast<std::size_t>(st.st_size));
  return out;
}

// Writes `parts` to a new file in `dir` and renames it to `path`, so that a
// reader sees the whole snapshot or none.
Status write_atomically(const std::string& dir, const std::string& path,
                        std::initializer_list<std::string_view> parts) {
  std::string temp = dir + "/.snap-XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return fail(Error::last_os_error());
  Status s;
  for (std::string_view part : parts) {
    if (s) s = write_all(fd.get(), part);
  }
  if (s && ::fsync(fd.get()) != 0) s = fail(Error::last_os_error());
  if (s && ::close(fd.release()) != 0) s = fail(Error::last_os_error());
  if (s && ::rename(temp.c_str(), path.c_str()) != 0) s = fail(Error::last_os_error());
  if (!s) ::unlink(temp.c_str());
  return s;
}

// Snapshots of other keys come from earlier builds or other Deno
// executables; the most recent few stay for whatever still uses them, the
// rest (30 MiB each) go, and so do temporary files left long ago.
void remove_old_snapshots(const std::string& dir, const std::string& kept_key) {
  constexpr std::size_t kKept = 4;
  std::vector<std::pair<std::filesystem::file_time_type, std::filesystem::path>> others;
  std::error_code ec;
  // A temporary file this old was left by a process that ended while it
  // wrote (a snapshot is written in well under a second).
  const auto abandoned = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::filesystem::path& p = entry.path();
    if (p.filename().string().starts_with(".snap-")) {
      if (entry.last_write_time(ec) < abandoned) std::filesystem::remove(p, ec);
      continue;
    }
    if (p.extension() != ".snap" || p.stem() == kept_key) continue;
    others.emplace_back(entry.last_write_time(ec), p);
  }
  if (others.size() < kKept) return;
  std::sort(others.begin(), others.end(), std::greater<>());
  for (std::size_t i = kKept - 1; i < others.size(); ++i) {
    std::filesystem::remove(others[i].second, ec);
    std::filesystem::remove(std::filesystem::path(others[i].second).replace_extension(".lock"), ec);
  }
}

struct Makers {
  std::mutex mu;
  std::set<std::string> keys;  // snapshots this process is making now
};

Makers& makers() {
  // Never destroyed: a maker thread may still run while static destructors do.
  static Makers* m = new Makers();
  return *m;
}

// Runs a runner in snapshot-making mode and stores what it writes.
void make_snapshot(const VeskEngine& engine, const std::string& key) {
  const std::string dir = snapshot_dir();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  ::chmod(dir.c_str(), 0700);
  UniqueFd lock(::open((dir + "/" + key + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  // Another process making the same snapshot holds the lock: its result
  // serves this one too.
  if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return;
  if (load_start_snapshot(engine)) return;
  Result<RunnerProcess> process = start_runner_process(engine, "snapshot-make", /*null_stdin=*/true);
  if (!process) return;
  Spawned* spawned = &process->spawned;
  Result<std::unique_ptr<Watchdog>> watchdog =
      Watchdog::start(spawned->child, engine.config().install_timeout_ms);
  if (!watchdog) {
    spawned->child->kill();
    return;
  }
  FdReader reader(spawned->stdout_fd.get());
  std::string line;
  std::string bytes;
  const std::string_view prefix = "{\"snapshot\":";
  bool made = reader.read_line(line) == FdReader::ReadResult::kLine && line.starts_with(prefix);
  if (made) {
    std::size_t size = 0;
    try {
      size = std::stoull(line.substr(prefix.size()));
    } catch (...) {
      made = false;
    }
    made = made && size > 0 && reader.read_exact(bytes, size);
  }
  (*watchdog)->cancel();
  spawned->child->kill();
  spawned->child->wait();
  if (!made) return;
  const std::string digest = sha256_hex(bytes);
  if (!write_atomically(dir, snapshot_path(key), {header_of(key, digest), bytes})) return;
  remove_old_snapshots(dir, key);
}

}  // namespace

std::string snapshot_dir() {
  std::filesystem::path cache(deno_cache_dir());
  if (cache.has_filename() == false) cache = cache.parent_path();
  return (cache.parent_path() / "vesk" / "snapshots").string();
}

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
    return std::string();
  }
  return hex(digest, size);
}

std::string snapshot_key(const VeskEngine& engine) {
  std::string material = "pyodide " + std::string(kPyodideVersion) + "\n";
  if (auto identity = executable_identity(engine.deno_path())) {
    material += "deno " + *identity + "\n";
  }
  material += runner_script();
  return sha256_hex(material).substr(0, 32);
}

std::optional<std::string> load_start_snapshot(const VeskEngine& engine) {
  try {
    const std::string key = snapshot_key(engine);
    const std::string path = snapshot_path(key);
    Result<std::string> file = read_whole(path);
    if (!file) return std::nullopt;
    std::optional<std::string> bytes = checked_bytes(std::move(*file), key);
    if (!bytes) ::unlink(path.c_str());
    return bytes;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<OpenedSnapshot> open_start_snapshot(const VeskEngine& engine) {
  try {
    const std::string key = snapshot_key(engine);
    OpenedSnapshot out;
    out.path = snapshot_path(key);
    out.fd.reset(::open(out.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!out.fd) return std::nullopt;
    struct stat st;
    if (::fstat(out.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const std::string prefix = std::string(kMagic) + key + "\n";
    constexpr std::size_t kDigestLine = 64 + 1;
    std::string header(prefix.size() + kDigestLine, '\0');
    const ssize_t n = ::pread(out.fd.get(), header.data(), header.size(), 0);
    const bool whole = n == static_cast<ssize_t>(header.size()) &&
                       static_cast<std::uint64_t>(st.st_size) > header.size();
    if (!whole || !header.starts_with(prefix) || header.back() != '\n') {
      ::unlink(out.path.c_str());
      return std::nullopt;
    }
    out.digest = header.substr(prefix.size(), kDigestLine - 1);
    out.offset = header.size();
    out.size = static_cast<std::uint64_t>(st.st_size) - out.offset;
    return out;
  } catch (...) {
    return std::nullopt;
  }
}

Status stream_start_snapshot(const OpenedSnapshot& snapshot,
                             const std::function<Status(std::string_view)>& send, bool* damaged,
                             std::string& piece) {
  const auto refuse = [&] {
    *damaged = true;
    ::unlink(snapshot.path.c_str());
    return fail_message("the start snapshot " + snapshot.path + " is damaged");
  };
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    return fail_message("could not hash the start snapshot");
  }
  constexpr std::size_t kPiece = 1 << 20;
  piece.reserve(kPiece);
  std::uint64_t done = 0;
  while (done < snapshot.size) {
    piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, snapshot.size - done)));
    const ssize_t n = ::pread(snapshot.fd.get(), piece.data(), piece.size(),
                              static_cast<off_t>(snapshot.offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return refuse();
    piece.resize(static_cast<std::size_t>(n));
    if (EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) != 1) {
      return fail_message("could not hash the start snapshot");
    }
    if (Status s = send(piece); !s) return s;
    done += static_cast<std::uint64_t>(n);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
    return fail_message("could not hash the start snapshot");
  }
  // A file grown since it was opened is not the one whose digest was kept.
  char extra = 0;
  if (hex(digest, length) != snapshot.digest ||
      ::pread(snapshot.fd.get(), &extra, 1, static_cast<off_t>(snapshot.offset + done)) != 0) {
    return refuse();
  }
  return {};
}

void make_start_snapshot_in_background(const VeskEngine& engine) {
  try {
    std::shared_ptr<void> work = background_work();
    if (!work) return;  // the process exits
    const std::string key = snapshot_key(engine);
    {
      Makers& m = makers();
      std::lock_guard<std::mutex> lock(m.mu);
      if (!m.keys.insert(key).second) return;
    }
    const auto done = [key] {
      Makers& m = makers();
      std::lock_guard<std::mutex> lock(m.mu);
      m.keys.erase(key);
    };
    try {
      std::thread([engine, key, done, work] {
        try {
          make_snapshot(engine, key);
        } catch (...) {
        }
        done();
      }).detach();
    } catch (...) {
      done();  // no thread: the next start tries again
    }
  } catch (...) {
  }
}

bool start_snapshot_being_made() {
  Makers& m = makers();
  std::lock_guard<std::mutex> lock(m.mu);
  return !m.keys.empty();
}

}  // namespace vesk
