// The configuration loader on arbitrary bytes. It must never crash, and:
//   - a failure is a report in the documented shape ("TOML parse error at
//     line L, column C" then the line with a caret), and a document that the
//     TOML reader accepts can only fail on a value of the wrong type or sign;
//   - a success is a consistent record: every known key that the document
//     sets has exactly the document's value, every other field keeps its
//     default, and the record written back out as TOML parses to itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/config.h"
#include "core/base/toml.h"

namespace {

#define VESK_CONFIG_FIELDS(X)                                                          \
  X(domain_allowlist) X(fetch_timeout_ms) X(connect_timeout_ms) X(exec_timeout_ms)     \
  X(install_timeout_ms) X(max_workspace_mb) X(mount_allowlist) X(export_root)          \
  X(snapshots_dir) X(snapshot_on_close) X(max_sessions) X(max_checkpoints)             \
  X(session_idle_timeout_secs) X(env_allowlist) X(package_allowlist) X(bash_timeout_ms) \
  X(bash_command_denylist) X(bash_command_allowlist)

std::string_view g_input;

void check(bool ok, const char* what, std::string_view detail = {}) {
  if (ok) return;
  std::fprintf(stderr, "config check failed: %s\n%.*s\ninput:\n%.*s\n", what,
               static_cast<int>(detail.size()), detail.data(), static_cast<int>(g_input.size()),
               g_input.data());
  std::abort();
}

// Whether the document's node holds exactly `value`.
bool same(const toml::node& n, std::uint64_t value) {
  const auto* i = n.as_integer();
  return i != nullptr && i->get() >= 0 && static_cast<std::uint64_t>(i->get()) == value;
}
bool same(const toml::node& n, const std::optional<std::uint64_t>& value) {
  return value.has_value() && same(n, *value);
}
bool same(const toml::node& n, bool value) {
  return n.as_boolean() != nullptr && n.as_boolean()->get() == value;
}
bool same(const toml::node& n, const std::string& value) {
  return n.as_string() != nullptr && n.as_string()->get() == value;
}
bool same(const toml::node& n, const std::vector<std::string>& value) {
  const auto* a = n.as_array();
  if (a == nullptr || a->size() != value.size()) return false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (!same(*a->get(i), value[i])) return false;
  }
  return true;
}

// Writes a field as one line of TOML. By hand rather than with toml++'s
// writer, which emits a string that starts with a line feed as a multi-line
// literal string, whose first line feed a reader then drops.
void quote(std::string& out, const std::string& s) {
  out += '"';
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  out += '"';
}
void put(std::string& out, const char* key, std::uint64_t value) {
  out += key;
  out += " = " + std::to_string(value) + "\n";
}
void put(std::string& out, const char* key, const std::optional<std::uint64_t>& value) {
  if (value) put(out, key, *value);
}
void put(std::string& out, const char* key, bool value) {
  out += key;
  out += value ? " = true\n" : " = false\n";
}
void put(std::string& out, const char* key, const std::string& value) {
  out += key;
  out += " = ";
  quote(out, value);
  out += '\n';
}
void put(std::string& out, const char* key, const std::vector<std::string>& value) {
  out += key;
  out += " = [";
  for (const std::string& s : value) {
    quote(out, s);
    out += ", ";
  }
  out += "]\n";
}

void check_failure(std::string_view input, const std::string& error) {
  check(error.starts_with("TOML parse error at line "), "report does not name the line", error);
  check(error.find(", column ") != std::string::npos, "report does not name the column", error);
  check(error.find(" |\n") != std::string::npos && error.find("^\n") != std::string::npos,
        "report does not quote the line", error);
  toml::parse_result doc = toml::parse(input);
  if (doc) {
    check(error.find("invalid type: ") != std::string::npos ||
              error.find("invalid value: ") != std::string::npos,
          "a well-formed document failed for another reason than a value", error);
  }
}

void check_success(std::string_view input, const vesk::Config& c) {
  toml::parse_result doc = toml::parse(input);
  check(static_cast<bool>(doc), "the loader accepted what the TOML reader refuses");
  const toml::table& table = doc.table();
  const vesk::Config defaults = vesk::Config::defaults();
#define VESK_CHECK_FIELD(name)                                                            \
  if (const toml::node* n = table.get(#name)) {                                           \
    check(same(*n, c.name), "field differs from the document: " #name);                  \
  } else {                                                                                \
    check(c.name == defaults.name, "field not in the document lost its default: " #name); \
  }
  VESK_CONFIG_FIELDS(VESK_CHECK_FIELD)
#undef VESK_CHECK_FIELD

  std::string text;
#define VESK_PUT_FIELD(name) put(text, #name, c.name);
  VESK_CONFIG_FIELDS(VESK_PUT_FIELD)
#undef VESK_PUT_FIELD
  const auto again = vesk::Config::parse(text);
  check(again.has_value(), "the record written out does not parse",
        again ? std::string_view() : std::string_view(again.error()));
  check(*again == c, "the record written out parses to another record", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  g_input = input;
  const auto config = vesk::Config::parse(input);
  if (config) {
    check_success(input, *config);
  } else {
    check_failure(input, config.error());
  }
  return 0;
}
