#include "core/base/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "test_util.h"

namespace vesk {
namespace {

TEST(ConfigTest, DefaultsAreTheDocumentedValues) {
  const Config c = Config::defaults();
  EXPECT_EQ(c.domain_allowlist,
            (std::vector<std::string>{"cdn.jsdelivr.net", "files.pythonhosted.org", "pypi.org"}));
  EXPECT_EQ(c.fetch_timeout_ms, 60000u);
  EXPECT_EQ(c.connect_timeout_ms, 30000u);
  EXPECT_EQ(c.exec_timeout_ms, 60000u);
  EXPECT_EQ(c.install_timeout_ms, 120000u);
  EXPECT_EQ(c.max_workspace_mb, 512u);
  EXPECT_TRUE(c.mount_allowlist.empty());
  EXPECT_EQ(c.export_root, "vesk-export");
  EXPECT_EQ(c.snapshots_dir, "vesk-snapshots");
  EXPECT_FALSE(c.snapshot_on_close);
  EXPECT_EQ(c.max_sessions, 50u);
  EXPECT_EQ(c.max_checkpoints, 200u);
  EXPECT_EQ(c.session_idle_timeout_secs, 3600u);
  EXPECT_TRUE(c.env_allowlist.empty());
  EXPECT_TRUE(c.package_allowlist.empty());
  EXPECT_EQ(c.bash_timeout_ms, 30000u);
  EXPECT_TRUE(c.bash_command_denylist.empty());
  EXPECT_TRUE(c.bash_command_allowlist.empty());
  EXPECT_EQ(c.max_runner_memory_mb, 2048u);
  EXPECT_EQ(c.park_after_idle_secs, 0u);
  EXPECT_TRUE(c.spare_runner);
}

TEST(ConfigTest, EveryKeyIsReadFromTheDocument) {
  auto c = Config::parse(R"(
domain_allowlist = ["one", "two", "one"]
fetch_timeout_ms = 1
connect_timeout_ms = 2
exec_timeout_ms = 3
install_timeout_ms = 4
max_workspace_mb = 5
mount_allowlist = ["/data/in"]
export_root = "out"
snapshots_dir = "snaps"
snapshot_on_close = true
max_sessions = 6
max_checkpoints = 0
session_idle_timeout_secs = 8
env_allowlist = ["PATH"]
package_allowlist = ["numpy"]
bash_timeout_ms = 9
bash_command_denylist = ["rm", ""]
bash_command_allowlist = ["ls", "cat"]
max_runner_memory_mb = 11
park_after_idle_secs = 12
spare_runner = false
max_shell_memory_mb = 13
max_park_image_mb = 14
max_history_mb = 15
)");
  ASSERT_TRUE(c.has_value()) << c.error();
  EXPECT_EQ(c->domain_allowlist, (std::vector<std::string>{"one", "two", "one"}));
  EXPECT_EQ(c->fetch_timeout_ms, 1u);
  EXPECT_EQ(c->connect_timeout_ms, 2u);
  EXPECT_EQ(c->exec_timeout_ms, 3u);
  EXPECT_EQ(c->install_timeout_ms, 4u);
  EXPECT_EQ(c->max_workspace_mb, 5u);
  EXPECT_EQ(c->mount_allowlist, std::vector<std::string>{"/data/in"});
  EXPECT_EQ(c->export_root, "out");
  EXPECT_EQ(c->snapshots_dir, "snaps");
  EXPECT_TRUE(c->snapshot_on_close);
  EXPECT_EQ(c->max_sessions, 6u);
  EXPECT_EQ(c->max_checkpoints, 0u);
  EXPECT_EQ(c->session_idle_timeout_secs, 8u);
  EXPECT_EQ(c->env_allowlist, std::vector<std::string>{"PATH"});
  EXPECT_EQ(c->package_allowlist, std::vector<std::string>{"numpy"});
  EXPECT_EQ(c->bash_timeout_ms, 9u);
  EXPECT_EQ(c->bash_command_denylist, (std::vector<std::string>{"rm", ""}));
  EXPECT_EQ(c->bash_command_allowlist, (std::vector<std::string>{"ls", "cat"}));
  EXPECT_EQ(c->max_runner_memory_mb, 11u);
  EXPECT_EQ(c->park_after_idle_secs, 12u);
  EXPECT_FALSE(c->spare_runner);
  EXPECT_EQ(c->max_shell_memory_mb, 13u);
  EXPECT_EQ(c->max_park_image_mb, 14u);
  EXPECT_EQ(c->max_history_mb, 15u);
}

// Documents that parse to exactly the defaults, apart from what `adjust` sets.
struct AcceptedCase {
  const char* name;
  const char* toml;
  std::function<void(Config&)> adjust;
};

TEST(ConfigTest, AcceptedDocuments) {
  const AcceptedCase cases[] = {
      {"empty", "", [](Config&) {}},
      {"comment only", "# nothing here\n", [](Config&) {}},
      {"one key, others default", "exec_timeout_ms = 5000",
       [](Config& c) { c.exec_timeout_ms = 5000; }},
      {"unknown key ignored", "colour = \"blue\"\nbash_timeout_ms = 7",
       [](Config& c) { c.bash_timeout_ms = 7; }},
      {"unknown table ignored", "[extra]\nexec_timeout_ms = \"not even checked\"\n",
       [](Config&) {}},
      {"keys under a section are never looked at", "[vesk]\nexec_timeout_ms = 1\n",
       [](Config&) {}},
      {"empty network list", "domain_allowlist = []",
       [](Config& c) { c.domain_allowlist.clear(); }},
      {"wildcard network", "domain_allowlist = [\"*\"]",
       [](Config& c) { c.domain_allowlist = {"*"}; }},
      {"zero limits are accepted unchanged", "max_workspace_mb = 0\nexec_timeout_ms = 0",
       [](Config& c) {
         c.max_workspace_mb = 0;
         c.exec_timeout_ms = 0;
       }},
      {"largest integer", "max_checkpoints = 9223372036854775807",
       [](Config& c) { c.max_checkpoints = 9223372036854775807u; }},
      {"hex integer", "bash_timeout_ms = 0x10", [](Config& c) { c.bash_timeout_ms = 16; }},
      {"non-ASCII after a line-ending backslash", "export_root = \"\"\"\\\n\xC2\xA7x\"\"\"",
       [](Config& c) { c.export_root = "\xC2\xA7x"; }},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Config expected;
    tc.adjust(expected);
    auto got = Config::parse(tc.toml);
    ASSERT_TRUE(got.has_value()) << got.error();
    EXPECT_EQ(*got, expected);
  }
}

struct RejectedCase {
  const char* name;
  const char* toml;
  const char* line_and_column;  // must appear in the description
  const char* what;             // must appear in the description
};

TEST(ConfigTest, RejectedDocumentsNameLineAndColumn) {
  const RejectedCase cases[] = {
      {"float for an integer", "exec_timeout_ms = 5000.0", "line 1, column 19", "floating point"},
      {"negative for unsigned", "\n\nmax_checkpoints = -1", "line 3, column 19", "`-1`"},
      {"negative for a plain integer", "bash_timeout_ms = -5", "line 1, column 19", "`-5`"},
      {"string for an integer", "exec_timeout_ms = \"5000\"", "line 1, column 19", "string"},
      {"string for a boolean", "snapshot_on_close = \"yes\"", "line 1", "expected a boolean"},
      {"integer for a path", "export_root = 3", "line 1", "expected a string"},
      {"non-string list item", "domain_allowlist = [\"a\", 1]", "line 1, column 26",
       "string as array element"},
      {"table for a list", "[domain_allowlist]\nx = 1", "line 1", "table"},
      {"inline table for a list", "mount_allowlist = { a = 1 }", "line 1", "table"},
      {"string for a list", "bash_command_denylist = \"rm\"", "line 1", "array of strings"},
      {"key given twice", "exec_timeout_ms = 1\nexec_timeout_ms = 2", "line 2", ""},
      {"not TOML", "this is = = not toml", "line 1", ""},
      {"integer too large for TOML", "max_checkpoints = 99999999999999999999", "line 1", ""},
      // Letters that the TOML reader once classified into undefined
      // behaviour when it met them where white space may stand.
      {"accented bare key", "gr\xC3\xB6\xC3\x9F" "e = 1", "line 1, column 3", "saw"},
      {"Cyrillic line start", "exec_timeout_ms = 1\n\xD0\xB8\xD0\xBC\xD1\x8F = 2",
       "line 2, column 1", "saw"},
      // The time parser was entered assuming a digit after the 'T'.
      {"date and 'T' without a time", "x = 1979-05-27T\x01" "07:32:00Z", "line 1, column 16",
       "expected 2-digit hour"},
      {"ideographic mark after a value", "export_root = \"x\" \xE3\x80\x85", "line 1, column 19",
       "saw"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto got = Config::parse(tc.toml);
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().find("TOML parse error at"), std::string::npos) << got.error();
    EXPECT_NE(got.error().find(tc.line_and_column), std::string::npos) << got.error();
    EXPECT_NE(got.error().find(tc.what), std::string::npos) << got.error();
  }
}

TEST(ConfigTest, ErrorDescriptionPointsAtTheValue) {
  auto got = Config::parse("exec_timeout_ms = 5000.0\n");
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(),
            "TOML parse error at line 1, column 19\n"
            "  |\n"
            "1 | exec_timeout_ms = 5000.0\n"
            "  |                   ^\n"
            "invalid type: floating point, expected an unsigned integer for key "
            "`exec_timeout_ms`");
}

// Config::load with VESK_CONFIG pointing at a real file, capturing stderr.
class ConfigLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("VESK_CONFIG");
    ::unsetenv("VESK_PARK_AFTER_IDLE_SECS");
    ::unsetenv("VESK_SPARE_RUNNER");
  }
  void TearDown() override { SetUp(); }

  std::string write(const std::string& name, const std::string& content) {
    const auto path = dir_.path() / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // Sets the environment variable `name` to `value`; nullptr unsets it.
  static void set_variable(const char* name, const char* value) {
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }

  // Loads with VESK_CONFIG set to `path` and returns what went to stderr.
  std::string load(const std::string& path, Config* out) {
    ::setenv("VESK_CONFIG", path.c_str(), 1);
    ::testing::internal::CaptureStderr();
    *out = Config::load();
    return ::testing::internal::GetCapturedStderr();
  }

  TempDir dir_;
};

TEST_F(ConfigLoadTest, UnsetVariableGivesDefaultsSilently) {
  ::testing::internal::CaptureStderr();
  const Config c = Config::load();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(c, Config::defaults());
}

TEST_F(ConfigLoadTest, VariableThatIsNotUtf8GivesDefaultsSilently) {
  write("x.toml", "exec_timeout_ms = 1");
  Config c;
  EXPECT_EQ(load((dir_.path() / "x\xff.toml").string(), &c), "");
  EXPECT_EQ(c, Config::defaults());
}

TEST_F(ConfigLoadTest, GoodFileIsUsedSilently) {
  Config c;
  EXPECT_EQ(load(write("ok.toml", "exec_timeout_ms = 5000\n"), &c), "");
  Config expected;
  expected.exec_timeout_ms = 5000;
  EXPECT_EQ(c, expected);
}

TEST_F(ConfigLoadTest, TheParkVariableTakesThePlaceOfTheFilesKey) {
  const std::string path = write("park.toml", "park_after_idle_secs = 7\nexec_timeout_ms = 5\n");
  const struct {
    const char* value;  // nullptr: unset
    std::uint64_t secs;
    bool warned;
  } cases[] = {
      {nullptr, 7, false}, {"300", 300, false}, {"0", 0, false},
      {"", 7, true},       {"-1", 7, true},     {"5s", 7, true},
      {"99999999999999999999", 7, true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.value ? tc.value : "(unset)");
    set_variable("VESK_PARK_AFTER_IDLE_SECS", tc.value);
    Config c;
    const std::string err = load(path, &c);
    EXPECT_EQ(c.park_after_idle_secs, tc.secs);
    EXPECT_EQ(c.exec_timeout_ms, 5u);  // the rest of the file stands
    EXPECT_EQ(err, tc.warned ? "vesk: ignored VESK_PARK_AFTER_IDLE_SECS: not an unsigned integer\n" : "");
  }
}

TEST_F(ConfigLoadTest, TheSpareVariableTakesThePlaceOfTheFilesKey) {
  const std::string path = write("spare.toml", "spare_runner = false\nexec_timeout_ms = 5\n");
  const struct {
    const char* value;  // nullptr: unset
    bool spare;
    bool warned;
  } cases[] = {
      {nullptr, false, false}, {"1", true, false},  {"0", false, false},
      {"", false, true},       {"true", false, true}, {"01", false, true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.value ? tc.value : "(unset)");
    set_variable("VESK_SPARE_RUNNER", tc.value);
    Config c;
    const std::string err = load(path, &c);
    EXPECT_EQ(c.spare_runner, tc.spare);
    EXPECT_EQ(c.exec_timeout_ms, 5u);
    EXPECT_EQ(err, tc.warned ? "vesk: ignored VESK_SPARE_RUNNER: not 0 or 1\n" : "");
  }
}

TEST_F(ConfigLoadTest, UnreadableFilesWarnWithTheOsErrorAndFallBack) {
  const std::string missing = (dir_.path() / "missing.toml").string();
  const std::string directory = dir_.path().string();
  const std::string not_utf8 = write("latin1.toml", "export_root = \"caf\xe9\"\n");
  const struct {
    std::string path;
    std::string error;
  } cases[] = {
      {missing, "No such file or directory (os error 2)"},
      {directory, "Is a directory (os error 21)"},
      {"", "No such file or directory (os error 2)"},
      {not_utf8, "stream did not contain valid UTF-8"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.path);
    Config c;
    c.exec_timeout_ms = 1;  // must be overwritten by the defaults
    EXPECT_EQ(load(tc.path, &c), "vesk: failed to read config at " + tc.path + ": " + tc.error + "\n");
    EXPECT_EQ(c, Config::defaults());
  }
}

TEST_F(ConfigLoadTest, BadFilesFallBackWhollyForEveryField) {
  // Each field set to a good value next to one bad value: none of the good
  // ones may survive.
  const std::string good =
      "domain_allowlist = [\"x\"]\nfetch_timeout_ms = 1\nconnect_timeout_ms = 2\n"
      "exec_timeout_ms = 3\ninstall_timeout_ms = 4\nmax_workspace_mb = 5\n"
      "mount_allowlist = [\"/m\"]\nexport_root = \"e\"\nsnapshots_dir = \"s\"\n"
      "snapshot_on_close = true\nmax_sessions = 6\nmax_checkpoints = 7\n"
      "session_idle_timeout_secs = 8\nenv_allowlist = [\"E\"]\npackage_allowlist = [\"p\"]\n"
      "bash_timeout_ms = 9\nbash_command_denylist = [\"d\"]\nbash_command_allowlist = [\"a\"]\n"
      "max_runner_memory_mb = 10\npark_after_idle_secs = 11\nspare_runner = false\n";
  const char* bad_lines[] = {"zzz = [1, \"mixed\"\n", "[max_checkpoints]\n"};
  for (const char* bad : bad_lines) {
    SCOPED_TRACE(bad);
    const std::string path = write("bad.toml", good + bad);
    Config c;
    const std::string err = load(path, &c);
    EXPECT_EQ(err.rfind("vesk: failed to parse config at " + path + ": TOML parse error at line ",
                        0),
              0u)
        << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(c, Config::defaults());
  }
}

TEST_F(ConfigLoadTest, NegativeCheckpointLimitFallsBackIncludingGoodKeys) {
  Config c;
  const std::string path = write("neg.toml", "exec_timeout_ms = 5\nmax_checkpoints = -1\n");
  const std::string err = load(path, &c);
  EXPECT_EQ(err.rfind("vesk: failed to parse config at " + path + ": ", 0), 0u) << err;
  EXPECT_NE(err.find("line 2, column 19"), std::string::npos) << err;
  EXPECT_EQ(c, Config::defaults());
}

}  // namespace
}  // namespace vesk
