// The configuration record.
//
// All tunable behaviour is gathered in Config, read from the TOML file named by
// the environment variable VESK_CONFIG. Every key has a default; a missing,
// unreadable or malformed file never stops the system: load() falls back to
// the defaults, all or nothing, after one warning line on standard error.
//
// Config is a plain value that owns its texts and lists; copies are deep.
// Nothing changes a Config after it is made.
#ifndef VESK_CORE_BASE_CONFIG_H_
#define VESK_CORE_BASE_CONFIG_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

struct Config {
  // Hosts the runner may reach; empty means no network, "*" means any host.
  // The defaults: Pyodide's CDN, the public Python package index's file host,
  // and the index itself.
  std::vector<std::string> domain_allowlist{"cdn.jsdelivr.net", "files.pythonhosted.org",
                                            "pypi.org"};
  std::uint64_t fetch_timeout_ms = 60000;    // carried, not acted on
  std::uint64_t connect_timeout_ms = 30000;  // carried, not acted on
  std::uint64_t exec_timeout_ms = 60000;     // limit of one execute_python request
  std::uint64_t install_timeout_ms = 120000;  // limit of one install and of a runner start
  std::optional<std::uint64_t> max_workspace_mb = 512;  // limit on a checkpoint's total size
  std::vector<std::string> mount_allowlist;             // path prefixes mount may read
  std::string export_root = "vesk-export";              // carried, not acted on
  std::string snapshots_dir = "vesk-snapshots";         // carried, not acted on
  bool snapshot_on_close = false;                       // carried, not acted on
  std::optional<std::uint64_t> max_sessions = 50;       // carried, not acted on
  std::optional<std::uint64_t> max_checkpoints = 200;   // limit on the history's length
  std::optional<std::uint64_t> session_idle_timeout_secs = 3600;  // carried, not acted on
  std::vector<std::string> env_allowlist;          // carried, not acted on
  std::vector<std::string> package_allowlist;      // carried, not acted on
  std::uint64_t bash_timeout_ms = 30000;           // limit of one shell command
  std::vector<std::string> bash_command_denylist;  // substrings that refuse a command
  std::vector<std::string> bash_command_allowlist;  // if not empty, one must occur
  // The most resident memory (MiB) one runner may hold; the interpreter's
  // own memory may take three quarters of it.
  std::uint64_t max_runner_memory_mb = 2048;
  // Seconds a session's runner may stay idle before it is parked: imaged,
  // kept compressed in the host's memory and ended, to be resumed by the
  // next call that needs it. 0: never.
  std::uint64_t park_after_idle_secs = 0;
  // Whether a process whose sessions may park keeps one runner started ahead
  // of need for the next session start or resume (spare_runner.h).
  bool spare_runner = true;
  // The most memory (MiB) one shell command may take: its processes and the
  // tmpfs it writes (the sandbox's /tmp and /dev/shm). 0: no bound.
  std::uint64_t max_shell_memory_mb = 2048;
  // The largest park image (MiB, compressed) a session may leave in the
  // host; a session whose image would be larger stays live instead.
  std::uint64_t max_park_image_mb = 64;
  // The most distinct content (MiB) one session's history may hold; past it a
  // change is refused.
  std::uint64_t max_history_mb = 4096;

  // The built-in defaults of every key (the same as a value-initialised Config).
  static Config defaults() { return Config{}; }

  // Reads the file named by VESK_CONFIG. Never fails: without the variable
  // (or with one that is not valid UTF-8) the defaults are returned silently;
  // a file that cannot be read or parsed yields the defaults after one line
  // "vesk: failed to read config at {path}: {error}" or
  // "vesk: failed to parse config at {path}: {error}" on standard error.
  // VESK_PARK_AFTER_IDLE_SECS, when set, takes the place of the file's
  // park_after_idle_secs (the server passes its --park-after that way, the
  // user's file untouched); a value that is not an unsigned decimal integer
  // is ignored after the line "vesk: ignored VESK_PARK_AFTER_IDLE_SECS: not
  // an unsigned integer". VESK_SPARE_RUNNER, "0" or "1", takes the place of
  // spare_runner in the same way (the server's workers, each with a session
  // of its own, keep no spare); another value is ignored after the line
  // "vesk: ignored VESK_SPARE_RUNNER: not 0 or 1".
  static Config load();

  // Maps a TOML document onto the record: keys it does not set keep their
  // defaults, unknown keys are ignored, a value of the wrong type fails the
  // whole document. The error text names line and column. Does no I/O.
  static std::expected<Config, std::string> parse(std::string_view toml_text);

  bool operator==(const Config&) const = default;
};

}  // namespace vesk

#endif  // VESK_CORE_BASE_CONFIG_H_
