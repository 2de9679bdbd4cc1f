#include "core/engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "core/io.h"
#include "core/runner_script.h"
#include "core/utf8.h"

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
  return options;
}

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

Result<VeskEngine> VeskEngine::create(Config config) {
  return guard([&]() -> Result<VeskEngine> {
    std::optional<std::string> deno = find_on_path("deno");
    if (!deno) return fail_message("deno not found; install from https://deno.com/");

    const pid_t pid = ::getpid();
    const std::string path =
        absolute(join(temp_dir(), "vesk_runner_" + std::to_string(pid) + ".ts"));
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
    return VeskEngine(std::move(config), absolute(*deno), std::move(file));
  });
}

LaunchCommand VeskEngine::launch_command() const {
  const std::string script = lossy_utf8(runner_file_->path());
  const std::string cache = deno_cache_dir();
  LaunchCommand command;
  command.program = deno_path_;
  command.args.push_back("run");
  command.args.push_back("--allow-read=" + script + "," + cache);
  command.args.push_back("--allow-write=" + cache);
  if (auto net = network_flag(config_.domain_allowlist)) command.args.push_back(std::move(*net));
  command.args.push_back(script);
  return command;
}

}  // namespace vesk
