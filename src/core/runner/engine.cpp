// The implementation of engine.h; its role and contract are stated there.

#include "core/runner/engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "core/exchange/fs_tree.h"
#include "core/base/io.h"
#include "core/runner/runner_script.h"
#include "core/base/utf8.h"

namespace vesk {

namespace {

// The process-wide script files by path (one, unless TMPDIR changes). Only
// weak references: a file lives as long as some engine or runner holds it.
struct Registry {
  std::mutex mu;
  std::map<std::string, std::weak_ptr<const RunnerFile>> files;
};

Registry& registry() {
  // Never destroyed: holders may be released while static destructors run.
  static Registry* r = new Registry();
  return *r;
}

// An environment variable whose value is valid UTF-8, or nothing.
std::optional<std::string> unicode_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

// `dir` joined with the relative path `name`, with one separator between.
std::string join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  if (dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

std::string absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  return ec ? path : p.string();
}

// Writes the script next to `path` under a temporary name and renames it into
// place: a runner starting meanwhile from another engine's copy never reads
// a half-written file, and a link planted at the path is replaced, not
// followed.
Status write_script(const std::string& path) {
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return fail(Error::last_os_error());
  Status s = write_all(fd.get(), runner_script());
  if (s && ::close(fd.release()) != 0) s = fail(Error::last_os_error());
  if (s && ::rename(temp.c_str(), path.c_str()) != 0) s = fail(Error::last_os_error());
  if (!s) ::unlink(temp.c_str());
  return s;
}

}  // namespace

RunnerFile::~RunnerFile() {
  // A forked copy of the process holds copies of its parent's engines; the
  // file is still the parent's.
  if (::getpid() != owner_) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  // Between this holder's count reaching zero and now, a new engine may have
  // written the same path again; the file is its now.
  const auto it = r.files.find(path_);
  if (it != r.files.end()) {
    if (!it->second.expired()) return;
    r.files.erase(it);
  }
  ::unlink(path_.c_str());
}

SpawnOptions LaunchCommand::spawn_options() const {
  SpawnOptions options;
  options.program = program;
  options.args = args;
  options.pipe_stdin = true;
  options.pipe_stdout = true;
  options.env_overrides = env_overrides;
  options.new_process_group = sandboxed;
  return options;
}

namespace {

struct IsolationState {
  std::mutex mu;
  std::optional<RunnerIsolation> known;
  std::optional<RunnerIsolation> forced;
};

IsolationState& isolation_state() {
  static IsolationState* s = new IsolationState();
  return *s;
}

// Whether bubblewrap makes the kind of sandbox a runner gets: a read-only
// host, a tmpfs at /tmp, no capabilities. Inside a container without user
// namespaces it cannot.
RunnerIsolation probe_isolation() {
  if (!find_on_path("bwrap")) return RunnerIsolation::kDirect;
  SpawnOptions options;
  options.program = "bwrap";
  options.args = {"--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--size", "1048576",
                  "--tmpfs", "/tmp", "--dir", std::string(kSandboxOwnDir), "--cap-drop", "ALL",
                  "--", "true"};
  options.null_stdin = true;
  options.pipe_stdout = true;
  options.pipe_stderr = true;
  Result<Spawned> spawned = spawn(options);
  if (!spawned) return RunnerIsolation::kDirect;
  spawned->stdout_fd.reset();
  spawned->stderr_fd.reset();
  Result<std::unique_ptr<Watchdog>> watchdog = Watchdog::start(spawned->child, 10000);
  const ExitStatus status = spawned->child->wait();
  const bool ok = watchdog && !(*watchdog)->fired() && status.code == 0;
  return ok ? RunnerIsolation::kSandbox : RunnerIsolation::kDirect;
}

}  // namespace

RunnerIsolation runner_isolation() {
  IsolationState& s = isolation_state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.forced) return *s.forced;
  if (!s.known) s.known = probe_isolation();
  return *s.known;
}

void set_runner_isolation_for_testing(std::optional<RunnerIsolation> isolation) {
  IsolationState& s = isolation_state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.forced = isolation;
  s.known.reset();
}

std::optional<std::string> executable_identity(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::to_string(st.st_dev) + ' ' + std::to_string(st.st_ino) + ' ' +
         std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' +
         std::to_string(st.st_mtim.tv_nsec);
}

namespace {

// V8's speculative inlining of indirect calls makes its optimising compiler
// take 20-40 MiB more on its own threads for the interpreter's largest
// functions, which become hot in a session's first runs, just when the
// workspace arrives. Python ran as fast without it, measured.
constexpr std::string_view kRunnerV8Flags = "--no-wasm-inlining-call-indirect";

// Whether the Deno at `deno_path` starts with `v8_flags` in DENO_V8_FLAGS:
// Deno refuses to start with a flag its V8 does not know, and V8's flags
// come and go between releases. Asked once per executable (path, device,
// inode, size, modification time) in this process, with a program that does
// nothing; anything but a clean exit within ten seconds counts as a refusal.
bool deno_accepts_v8_flags(const std::string& deno_path, const std::string& v8_flags) {
  const std::optional<std::string> identity = executable_identity(deno_path);
  if (!identity) return false;
  const std::string key = deno_path + '\n' + *identity + '\n' + v8_flags;
  static std::mutex mu;
  static std::map<std::string, bool>* known = new std::map<std::string, bool>();
  // Held while asking, so that runners starting together ask only once.
  std::lock_guard<std::mutex> lock(mu);
  if (auto it = known->find(key); it != known->end()) return it->second;
  bool accepted = false;
  SpawnOptions options;
  options.program = deno_path;
  options.args = {"eval", "--no-config", ""};
  options.null_stdin = true;
  // Both read ends are closed at once: a Deno that writes (a refusal's
  // message) ends on the broken pipe instead of reaching the host's terminal.
  options.pipe_stdout = true;
  options.pipe_stderr = true;
  // A cache of its own, gone afterwards: Deno keeps what it compiles, even
  // an empty program, in its cache, and that is the user's to fill.
  std::string scratch = join(temp_dir(), "vesk-deno-probe-XXXXXX");
  if (::mkdtemp(scratch.data()) == nullptr) return false;
  struct Remove {
    const std::string& dir;
    ~Remove() { remove_tree(dir); }
  } remove{scratch};
  options.env_overrides = {"DENO_V8_FLAGS=" + v8_flags, "DENO_DIR=" + scratch};
  if (Result<Spawned> spawned = spawn(options)) {
    spawned->stdout_fd.reset();
    spawned->stderr_fd.reset();
    Result<std::unique_ptr<Watchdog>> watchdog = Watchdog::start(spawned->child, 10000);
    if (!watchdog) {
      spawned->child->kill();
      spawned->child->wait();
    } else {
      const ExitStatus status = spawned->child->wait();
      accepted = !(*watchdog)->fired() && status.code == 0;
    }
  }
  known->emplace(key, accepted);
  return accepted;
}

}  // namespace

std::string temp_dir() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp");
}

std::string deno_cache_dir() {
  if (auto dir = unicode_env("DENO_DIR")) return lossy_utf8(*dir);
  if (auto xdg = unicode_env("XDG_CACHE_HOME")) return lossy_utf8(join(*xdg, "deno"));
  const std::string base = unicode_env("HOME").value_or(temp_dir());
  return lossy_utf8(join(base, ".cache/deno"));
}

std::optional<std::string> network_flag(const std::vector<std::string>& domain_allowlist) {
  if (domain_allowlist.empty()) return std::nullopt;
  for (const std::string& d : domain_allowlist) {
    if (d == "*") return std::string("--allow-net");
  }
  std::string flag = "--allow-net=";
  for (std::size_t i = 0; i < domain_allowlist.size(); ++i) {
    if (i != 0) flag += ',';
    flag += domain_allowlist[i];
  }
  return flag;
}

const std::string& VeskEngine::script_path() const {
  static const std::string* const none = new std::string();
  return runner_file_ ? runner_file_->path() : *none;
}

Result<VeskEngine> VeskEngine::create(Config config) {
  return guard([&]() -> Result<VeskEngine> {
    std::optional<std::string> deno = find_on_path("deno");
    if (!deno) return fail_message("deno not found; install from https://deno.com/");
    const RunnerIsolation isolation = runner_isolation();
    if (isolation == RunnerIsolation::kSandbox) {
      return VeskEngine(std::move(config), absolute(*deno), isolation, nullptr);
    }

    const pid_t pid = ::getpid();
    const std::string path =
        absolute(join(temp_dir(), "vesk_runner_" + std::to_string(pid) + ".js"));
    // Declared before the lock: should the last other holder go meanwhile,
    // the references taken here are released after the lock, which the
    // RunnerFile's destructor takes too.
    std::shared_ptr<const RunnerFile> file;
    std::shared_ptr<const RunnerFile> previous;
    {
      Registry& r = registry();
      std::lock_guard<std::mutex> lock(r.mu);
      std::weak_ptr<const RunnerFile>& entry = r.files[path];
      previous = entry.lock();
      // Written even when shared: the same text again, restoring a file that
      // something else removed.
      if (auto s = write_script(path); !s) return fail(s.error());
      if (previous && previous->owner() == pid) {
        file = std::move(previous);
      } else {
        file = std::make_shared<const RunnerFile>(path, pid);
        entry = file;
      }
    }
    return VeskEngine(std::move(config), absolute(*deno), isolation, std::move(file));
  });
}

std::string pyodide_package_dir() {
  return join(deno_cache_dir(), "npm/registry.npmjs.org/pyodide/" + std::string(kPyodideVersion));
}

namespace {

// The files of the package that loading Pyodide reads.
constexpr std::string_view kPyodideFiles[] = {
    "package.json", "pyodide.mjs", "pyodide.asm.mjs", "pyodide.asm.wasm", "python_stdlib.zip",
    "pyodide-lock.json",
};

bool pyodide_cached() {
  const std::string dir = pyodide_package_dir();
  for (std::string_view name : kPyodideFiles) {
    struct stat st;
    if (::stat(join(dir, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  }
  return true;
}

}  // namespace

Status ensure_pyodide_cached(const std::string& deno_path, std::uint64_t timeout_ms) {
  return guard([&]() -> Status {
    if (pyodide_cached()) return {};
    const std::string spec = "npm:pyodide@" + std::string(kPyodideVersion);
    SpawnOptions options;
    options.program = deno_path;
    options.args = {"cache", "--no-config", "--no-lock", "--quiet", spec};
    options.null_stdin = true;
    if (Result<Spawned> spawned = spawn(options)) {
      Result<std::unique_ptr<Watchdog>> watchdog = Watchdog::start(spawned->child, timeout_ms);
      if (!watchdog) return fail(watchdog.error());
      spawned->child->wait();
    }
    if (pyodide_cached()) return {};
    return fail_message("Deno's cache (" + deno_cache_dir() + ") lacks Pyodide " +
                        std::string(kPyodideVersion) +
                        " and it could not be fetched; with access to the npm registry run: "
                        "deno cache " + spec + " (or ./scripts/setup.sh)");
  });
}

Result<LaunchCommand> VeskEngine::deno_command(const std::string& script_path,
                                               const std::string& own_path) const {
  const std::string script = lossy_utf8(script_path);
  const std::string pyodide = lossy_utf8(pyodide_package_dir());
  const std::string own = lossy_utf8(own_path);
  for (const std::string* path : {&script, &pyodide, &own}) {
    if (path->find(',') != std::string::npos) {
      return fail_message("cannot start the runner: the path '" + *path +
                          "' holds a comma, which Deno's permission flags cannot express; "
                          "choose another directory (DENO_DIR, TMPDIR)");
    }
  }
  LaunchCommand command;
  command.program = deno_path_;
  command.args = {"run", "--no-config", "--no-lock", "--cached-only",
                  "--allow-read=" + script + "," + pyodide + "," + own, "--allow-write=" + own};
  if (auto net = network_flag(config_.domain_allowlist)) command.args.push_back(std::move(*net));
  command.args.push_back(script);
  command.args.push_back(own);
  // Python's objects live in the interpreter's WebAssembly memory, which the
  // runner lets grow to three quarters of the runner's bound: past it Python
  // raises MemoryError and goes on, before the memory guard would have to
  // stop the whole runner.
  command.args.push_back("--interpreter-memory-mb=" +
                         std::to_string(std::max<std::uint64_t>(1, config_.max_runner_memory_mb * 3 / 4)));
  // A runner of a session that may park loads Pyodide so that it can image
  // its interpreter.
  if (config_.park_after_idle_secs > 0) command.args.push_back("--parkable");
  // After freeing a large block the C library raises the size from which it
  // maps blocks on their own, and later large blocks then come from heaps that
  // keep their pages: an idle runner kept what V8's compiler threads and
  // Pyodide's start had freed, 10-30 MiB more in some starts than in others.
  // A fixed threshold gives back every freed block of 128 KiB or more.
  if (std::getenv("MALLOC_MMAP_THRESHOLD_") == nullptr) {
    command.env_overrides.push_back("MALLOC_MMAP_THRESHOLD_=131072");
  }
  // JavaScript's heap is bounded like the rest of the runner's memory
  // (max_runner_memory_mb), so that a flood of objects ends in V8's own
  // error when the memory guard's poll comes too late. The host's own V8
  // flags come after these, so they win.
  std::string v8_flags(kRunnerV8Flags);
  v8_flags += ",--max-old-space-size=" + std::to_string(config_.max_runner_memory_mb);
  if (const char* host = std::getenv("DENO_V8_FLAGS"); host != nullptr && *host != '\0') {
    v8_flags += ',';
    v8_flags += host;
  }
  if (deno_accepts_v8_flags(deno_path_, v8_flags)) {
    command.env_overrides.push_back("DENO_V8_FLAGS=" + v8_flags);
  }
  return command;
}

Result<LaunchCommand> VeskEngine::launch_command(const std::string& private_dir) const {
  return deno_command(script_path(), private_dir);
}

Result<LaunchCommand> VeskEngine::sandboxed_launch_command() const {
  return guard([&]() -> Result<LaunchCommand> {
    Result<LaunchCommand> deno =
        deno_command(std::string(kSandboxScript), std::string(kSandboxOwnDir));
    if (!deno) return deno;
    LaunchCommand command;
    command.program = "bwrap";
    command.args = {"--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc"};
    if (config_.max_workspace_mb) {
      command.args.insert(command.args.end(),
                          {"--size", std::to_string(*config_.max_workspace_mb * 1048576u)});
    }
    command.args.insert(command.args.end(), {"--tmpfs", "/tmp"});
    // What the tmpfs would hide from Deno: its executable (wherever a link
    // to it leads) and its cache, when they live below /tmp.
    std::vector<std::string> shown;
    auto show = [&](const std::string& dir) {
      std::error_code ec;
      const std::filesystem::path resolved = std::filesystem::canonical(dir, ec);
      if (ec || !std::filesystem::is_directory(resolved, ec)) return;
      const std::string path = resolved.string();
      if (!(path == "/tmp" || path.starts_with("/tmp/"))) return;
      if (std::find(shown.begin(), shown.end(), path) != shown.end()) return;
      shown.push_back(path);
      command.args.insert(command.args.end(), {"--ro-bind", path, path});
    };
    for (const std::string& executable : {deno_path_, [&] {
           std::error_code ec;
           return std::filesystem::canonical(deno_path_, ec).string();
         }()}) {
      show(std::filesystem::path(executable).parent_path().string());
    }
    show(deno_cache_dir());
    command.args.insert(command.args.end(),
                        {"--dir", std::string(kSandboxOwnDir), "--ro-bind-data", "3",
                         std::string(kSandboxScript), "--cap-drop", "ALL", "--die-with-parent",
                         "--info-fd", "4", "--",
                         deno->program});
    command.args.insert(command.args.end(), deno->args.begin(), deno->args.end());
    command.env_overrides = std::move(deno->env_overrides);
    command.sandboxed = true;
    return command;
  });
}

}  // namespace vesk
