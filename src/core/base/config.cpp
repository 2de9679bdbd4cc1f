// The implementation of config.h; its role and contract are stated there.

#include "core/base/config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <unistd.h>

#include "core/base/error.h"
#include "core/base/toml.h"
#include "core/base/utf8.h"

namespace vesk {

namespace {

// The line of `text` that holds 1-based `line`, without its terminator.
std::string_view source_line(std::string_view text, std::size_t line) {
  std::size_t start = 0;
  for (std::size_t i = 1; i < line; ++i) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) return {};
    start = nl + 1;
  }
  std::size_t end = text.find('\n', start);
  if (end == std::string_view::npos) end = text.size();
  std::string_view l = text.substr(start, end - start);
  if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
  return l;
}

// A multi-line description in the usual shape of a TOML reader's report:
// where, the offending line with a caret under the column, then what.
std::string describe(std::string_view text, const toml::source_region& where,
                     std::string_view what) {
  const std::size_t line = where.begin.line;
  const std::size_t column = where.begin.column;
  std::ostringstream out;
  out << "TOML parse error at line " << line << ", column " << column << "\n";
  const std::string gutter(std::to_string(line).size(), ' ');
  out << gutter << " |\n";
  out << line << " | " << source_line(text, line) << "\n";
  out << gutter << " | " << std::string(column > 0 ? column - 1 : 0, ' ') << "^\n";
  out << what;
  return out.str();
}

std::string_view type_name(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return "string";
    case toml::node_type::integer: return "integer";
    case toml::node_type::floating_point: return "floating point";
    case toml::node_type::boolean: return "boolean";
    case toml::node_type::date: return "local date";
    case toml::node_type::time: return "local time";
    case toml::node_type::date_time: return "datetime";
    case toml::node_type::array: return "array";
    case toml::node_type::table: return "table";
    default: return "value";
  }
}

// Maps the top-level table onto a Config, field by field.
class Mapper {
 public:
  Mapper(std::string_view text, const toml::table& table) : text_(text), table_(table) {}

  std::expected<Config, std::string> run() {
    Config c;
    if (!string_list("domain_allowlist", &c.domain_allowlist) ||
        !unsigned_int("fetch_timeout_ms", &c.fetch_timeout_ms) ||
        !unsigned_int("connect_timeout_ms", &c.connect_timeout_ms) ||
        !unsigned_int("exec_timeout_ms", &c.exec_timeout_ms) ||
        !unsigned_int("install_timeout_ms", &c.install_timeout_ms) ||
        !optional_unsigned("max_workspace_mb", &c.max_workspace_mb) ||
        !string_list("mount_allowlist", &c.mount_allowlist) ||
        !string("export_root", &c.export_root) ||
        !string("snapshots_dir", &c.snapshots_dir) ||
        !boolean("snapshot_on_close", &c.snapshot_on_close) ||
        !optional_unsigned("max_sessions", &c.max_sessions) ||
        !optional_unsigned("max_checkpoints", &c.max_checkpoints) ||
        !optional_unsigned("session_idle_timeout_secs", &c.session_idle_timeout_secs) ||
        !string_list("env_allowlist", &c.env_allowlist) ||
        !string_list("package_allowlist", &c.package_allowlist) ||
        !unsigned_int("bash_timeout_ms", &c.bash_timeout_ms) ||
        !string_list("bash_command_denylist", &c.bash_command_denylist) ||
        !string_list("bash_command_allowlist", &c.bash_command_allowlist) ||
        !unsigned_int("max_runner_memory_mb", &c.max_runner_memory_mb) ||
        !unsigned_int("park_after_idle_secs", &c.park_after_idle_secs) ||
        !boolean("spare_runner", &c.spare_runner) ||
        !unsigned_int("max_shell_memory_mb", &c.max_shell_memory_mb) ||
        !unsigned_int("max_park_image_mb", &c.max_park_image_mb) ||
        !unsigned_int("max_history_mb", &c.max_history_mb)) {
      return std::unexpected(std::move(error_));
    }
    return c;
  }

 private:
  bool mismatch(const toml::node& node, std::string_view key, std::string_view expected) {
    std::string what = "invalid type: ";
    what += type_name(node);
    what += ", expected ";
    what += expected;
    what += " for key `";
    what += key;
    what += "`";
    error_ = describe(text_, node.source(), what);
    return false;
  }

  bool unsigned_int(std::string_view key, std::uint64_t* out) {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return true;
    const auto* value = node->as_integer();
    if (value == nullptr) return mismatch(*node, key, "an unsigned integer");
    if (value->get() < 0) {
      error_ = describe(text_, node->source(),
                        "invalid value: integer `" + std::to_string(value->get()) +
                            "`, expected an unsigned integer for key `" + std::string(key) + "`");
      return false;
    }
    *out = static_cast<std::uint64_t>(value->get());
    return true;
  }

  bool optional_unsigned(std::string_view key, std::optional<std::uint64_t>* out) {
    std::uint64_t value = 0;
    if (table_.get(key) == nullptr) return true;
    if (!unsigned_int(key, &value)) return false;
    *out = value;
    return true;
  }

  bool boolean(std::string_view key, bool* out) {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return true;
    const auto* value = node->as_boolean();
    if (value == nullptr) return mismatch(*node, key, "a boolean");
    *out = value->get();
    return true;
  }

  bool string(std::string_view key, std::string* out) {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return true;
    const auto* value = node->as_string();
    if (value == nullptr) return mismatch(*node, key, "a string");
    *out = value->get();
    return true;
  }

  bool string_list(std::string_view key, std::vector<std::string>* out) {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return true;
    const auto* array = node->as_array();
    if (array == nullptr) return mismatch(*node, key, "an array of strings");
    std::vector<std::string> items;
    items.reserve(array->size());
    for (const toml::node& item : *array) {
      const auto* value = item.as_string();
      if (value == nullptr) return mismatch(item, key, "a string as array element");
      items.push_back(value->get());
    }
    *out = std::move(items);
    return true;
  }

  std::string_view text_;
  const toml::table& table_;
  std::string error_;
};

// Reads a whole file the way the warning line reports it: an OS error text,
// or the reader's own text for content that is not UTF-8.
std::expected<std::string, std::string> read_text_file(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error_message(errno));
  std::string content;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return std::unexpected(os_error_message(err));
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!is_valid_utf8(content)) return std::unexpected("stream did not contain valid UTF-8");
  return content;
}

}  // namespace

std::expected<Config, std::string> Config::parse(std::string_view toml_text) {
  toml::parse_result result = toml::parse(toml_text);
  if (!result) {
    const toml::parse_error& e = result.error();
    return std::unexpected(describe(toml_text, e.source(), e.description()));
  }
  return Mapper(toml_text, result.table()).run();
}

namespace {

// Decimal digits only, as a number that fits.
std::optional<std::uint64_t> unsigned_from(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

Config from_file() {
  const char* path = std::getenv("VESK_CONFIG");
  if (path == nullptr || !is_valid_utf8(path)) return Config::defaults();
  auto text = read_text_file(path);
  if (!text) {
    std::fprintf(stderr, "vesk: failed to read config at %s: %s\n", path, text.error().c_str());
    std::fflush(stderr);
    return Config::defaults();
  }
  auto config = Config::parse(*text);
  if (!config) {
    std::fprintf(stderr, "vesk: failed to parse config at %s: %s\n", path,
                 config.error().c_str());
    std::fflush(stderr);
    return Config::defaults();
  }
  return std::move(*config);
}

}  // namespace

Config Config::load() {
  Config config = from_file();
  if (const char* park = std::getenv("VESK_PARK_AFTER_IDLE_SECS"); park != nullptr) {
    if (std::optional<std::uint64_t> secs = unsigned_from(park)) {
      config.park_after_idle_secs = *secs;
    } else {
      std::fprintf(stderr, "vesk: ignored VESK_PARK_AFTER_IDLE_SECS: not an unsigned integer\n");
      std::fflush(stderr);
    }
  }
  if (const char* spare = std::getenv("VESK_SPARE_RUNNER"); spare != nullptr) {
    if (std::string_view(spare) == "0" || std::string_view(spare) == "1") {
      config.spare_runner = spare[0] == '1';
    } else {
      std::fprintf(stderr, "vesk: ignored VESK_SPARE_RUNNER: not 0 or 1\n");
      std::fflush(stderr);
    }
  }
  return config;
}

}  // namespace vesk
