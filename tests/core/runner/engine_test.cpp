#include "core/runner/engine.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/runner/runner_script.h"
#include "process_test_util.h"
#include "test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

// A directory with an executable named deno, first on PATH, and TMPDIR
// pointing into a directory of its own so that script files can be counted.
struct DenoOnPath {
  ScopedRunnerIsolation direct{RunnerIsolation::kDirect};
  TempDir bin;
  TempDir tmp;
  ScopedEnv env;
  DenoOnPath() {
    write_file(bin.path() / "deno", "#!/bin/sh\nexit 0\n", true);
    env.set("PATH", bin.path().string() + ":/usr/bin:/bin");
    env.set("TMPDIR", tmp.path().string());
  }
  fs::path script() const { return tmp.path() / ("vesk_runner_" + std::to_string(::getpid()) + ".js"); }
};

TEST(Engine, DenoNotFoundWritesNothing) {
  TempDir tmp;
  TempDir empty_bin;
  // Neither a directory nor a file without execute permission is a program.
  fs::create_directory(empty_bin.path() / "sub");
  fs::create_directory(empty_bin.path() / "sub" / "deno");
  write_file(empty_bin.path() / "deno", "#!/bin/sh\n", false);
  ScopedEnv env;
  env.set("TMPDIR", tmp.path().string());
  for (const std::optional<std::string>& path :
       {std::optional<std::string>(empty_bin.path().string() + ":" +
                                   (empty_bin.path() / "sub").string()),
        std::optional<std::string>(std::nullopt)}) {
    if (path) {
      env.set("PATH", *path);
    } else {
      env.unset("PATH");
    }
    Result<VeskEngine> engine = VeskEngine::create(Config::defaults());
    ASSERT_FALSE(engine.has_value());
    EXPECT_EQ(engine.error().message(), "deno not found; install from https://deno.com/");
    EXPECT_FALSE(engine.error().runner_error());
    EXPECT_EQ(count_entries(tmp.path()), 0u);
  }
}

TEST(Engine, FindsDenoThroughRelativePathEntries) {
  TempDir tmp;
  TempDir work;
  fs::create_directories(work.path() / "a");
  fs::create_directories(work.path() / "b");
  write_file(work.path() / "a" / "deno", "not executable", false);
  write_file(work.path() / "b" / "deno", "#!/bin/sh\n", true);
  ScopedEnv env;
  env.set("TMPDIR", tmp.path().string());
  env.set("PATH", "a:./b:/usr/bin");
  const fs::path old_cwd = fs::current_path();
  fs::current_path(work.path());
  Result<VeskEngine> engine = VeskEngine::create(Config::defaults());
  fs::current_path(old_cwd);
  ASSERT_TRUE(engine.has_value()) << engine.error().message();
  // Made absolute: a later change of directory must not lose it.
  EXPECT_TRUE(fs::equivalent(engine->deno_path(), work.path() / "b" / "deno"));
  EXPECT_EQ(engine->deno_path().front(), '/');
  EXPECT_EQ(engine->launch_command("/p")->program, engine->deno_path());
}

TEST(Engine, CacheDirectoryFollowsTheEnvironment) {
  DenoOnPath deno;
  struct Case {
    std::optional<std::string> deno_dir, xdg, home, tmpdir;
    std::string expected;
  };
  const std::string bad = "/x\xff";  // not UTF-8: counts as unset
  const std::vector<Case> cases = {
      {"/d", "/c", "/h", "/t", "/d"},
      {std::nullopt, "/c", "/h", "/t", "/c/deno"},
      {std::nullopt, "/c/", "/h", "/t", "/c/deno"},
      {bad, "/c", "/h", "/t", "/c/deno"},
      {std::nullopt, std::nullopt, "/h", "/t", "/h/.cache/deno"},
      {std::nullopt, bad, "/h", "/t", "/h/.cache/deno"},
      {std::nullopt, std::nullopt, std::nullopt, "/t", "/t/.cache/deno"},
      {std::nullopt, std::nullopt, bad, "/t", "/t/.cache/deno"},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, "/tmp/.cache/deno"},
  };
  Config config;
  config.domain_allowlist = {"one", "two"};
  Result<VeskEngine> engine = VeskEngine::create(config);
  ASSERT_TRUE(engine.has_value()) << engine.error().message();
  const std::string script = engine->script_path();
  for (const Case& c : cases) {
    ScopedEnv env;
    const auto apply = [&](const char* name, const std::optional<std::string>& v) {
      if (v) {
        env.set(name, *v);
      } else {
        env.unset(name);
      }
    };
    apply("DENO_DIR", c.deno_dir);
    apply("XDG_CACHE_HOME", c.xdg);
    apply("HOME", c.home);
    apply("TMPDIR", c.tmpdir);
    SCOPED_TRACE(c.expected);
    // Read afresh at every launch, not fixed at creation. Of the cache only
    // the pinned Pyodide package can be read, and nothing but the runner's
    // own directory written.
    const LaunchCommand command = *engine->launch_command("/own");
    const std::string pyodide = c.expected + "/npm/registry.npmjs.org/pyodide/314.0.8";
    const std::vector<std::string> expected = {
        "run", "--no-config", "--no-lock", "--cached-only",
        "--allow-read=" + script + "," + pyodide + ",/own", "--allow-write=/own",
        "--allow-net=one,two", script, "/own", "--interpreter-memory-mb=1536"};
    EXPECT_EQ(command.args, expected);
    const SpawnOptions options = command.spawn_options();
    EXPECT_TRUE(options.pipe_stdin);
    EXPECT_TRUE(options.pipe_stdout);
    EXPECT_FALSE(options.pipe_stderr);
    EXPECT_TRUE(options.cwd.empty());
  }
}

TEST(Engine, NetworkFlagFollowsTheAllowlist) {
  struct Case {
    std::vector<std::string> allowlist;
    std::optional<std::string> flag;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt},
      {{"one", "two"}, "--allow-net=one,two"},
      {{"one", "*"}, "--allow-net"},
      {{"*"}, "--allow-net"},
      {{"127.0.0.1:8000"}, "--allow-net=127.0.0.1:8000"},
      {Config::defaults().domain_allowlist,
       "--allow-net=cdn.jsdelivr.net,files.pythonhosted.org,pypi.org"},
  };
  for (const Case& c : cases) EXPECT_EQ(network_flag(c.allowlist), c.flag);

  // Without hosts the command has no network flag at all.
  DenoOnPath deno;
  Config config;
  config.domain_allowlist = {};
  Result<VeskEngine> engine = VeskEngine::create(config);
  ASSERT_TRUE(engine.has_value());
  const std::vector<std::string> args = engine->launch_command("/own")->args;
  ASSERT_EQ(args.size(), 9u);
  EXPECT_EQ(args[5], "--allow-write=/own");
  EXPECT_EQ(args[6], engine->script_path());

  // A session that may park says so last.
  config.park_after_idle_secs = 1;
  engine = VeskEngine::create(config);
  ASSERT_TRUE(engine.has_value());
  EXPECT_EQ(engine->launch_command("/own")->args.back(), "--parkable");
}

// In its sandbox the runner sees the host read-only and a tmpfs of its own at
// /tmp, bounded like a workspace, holding its directory and its script; what
// Deno needs from below /tmp (its executable, its cache) is bound back.
TEST(Engine, SandboxedCommandRunsDenoInATmpfsOfItsOwn) {
  DenoOnPath deno;  // below the temporary directory, as is its cache here
  ScopedRunnerIsolation sandboxed(RunnerIsolation::kSandbox);
  const std::string cache = (deno.tmp.path() / "cache").string();
  fs::create_directories(cache);
  deno.env.set("DENO_DIR", cache);
  Config config;
  config.domain_allowlist = {};
  config.max_workspace_mb = 7;
  Result<VeskEngine> engine = VeskEngine::create(config);
  ASSERT_TRUE(engine.has_value()) << engine.error().message();
  EXPECT_EQ(engine->isolation(), RunnerIsolation::kSandbox);
  EXPECT_EQ(engine->script_path(), "");  // nothing written
  EXPECT_EQ(count_entries(deno.tmp.path()), 1u);
  Result<LaunchCommand> command = engine->sandboxed_launch_command();
  ASSERT_TRUE(command.has_value()) << command.error().message();
  const std::string bin = fs::canonical(deno.bin.path()).string();
  const std::string pyodide = cache + "/npm/registry.npmjs.org/pyodide/314.0.8";
  std::vector<std::string> expected = {
      "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--size", "7340032",
      "--tmpfs", "/tmp"};
  if (bin.starts_with("/tmp/")) expected.insert(expected.end(), {"--ro-bind", bin, bin});
  if (cache.starts_with("/tmp/")) expected.insert(expected.end(), {"--ro-bind", cache, cache});
  expected.insert(expected.end(),
                  {"--dir", "/tmp/vesk-runner", "--ro-bind-data", "3", "/tmp/vesk_runner.js",
                   "--cap-drop", "ALL", "--die-with-parent", "--info-fd", "4", "--", engine->deno_path(), "run",
                   "--no-config", "--no-lock", "--cached-only",
                   "--allow-read=/tmp/vesk_runner.js," + pyodide + ",/tmp/vesk-runner",
                   "--allow-write=/tmp/vesk-runner", "/tmp/vesk_runner.js", "/tmp/vesk-runner",
                   "--interpreter-memory-mb=1536"});
  EXPECT_EQ(command->program, "bwrap");
  EXPECT_EQ(command->args, expected);
  EXPECT_TRUE(command->sandboxed);
  EXPECT_TRUE(command->spawn_options().new_process_group);

  // Without a workspace limit the tmpfs has the kernel's default size.
  config.max_workspace_mb.reset();
  engine = VeskEngine::create(config);
  ASSERT_TRUE(engine.has_value());
  const std::vector<std::string> args = engine->sandboxed_launch_command()->args;
  EXPECT_EQ(std::count(args.begin(), args.end(), "--size"), 0);
}

// The runner's environment: a fixed mapping threshold, and V8 flags only for
// a Deno that starts with them (one that does not would refuse to start the
// runner at all), asked once per executable.
TEST(Engine, RunnerEnvironmentHasV8FlagsOnlyForADenoThatTakesThem) {
  DenoOnPath deno;
  const fs::path asked = deno.tmp.path() / "asked";
  const auto fake_deno = [&](bool knows_the_flag) {
    write_file(deno.bin.path() / "deno",
               "#!/bin/sh\n"
               "echo \"$*|$DENO_V8_FLAGS\" >> '" + asked.string() + "'\n" +
                   (knows_the_flag ? std::string()
                                   : "case \"$DENO_V8_FLAGS\" in *--no-wasm-inlining-call-indirect*)\n"
                                     "  echo \"error: V8 did not recognize flag\" >&2; exit 1;;\n"
                                     "esac\n") +
                   "exit 0\n",
               true);
  };
  const auto v8_flags = [](const LaunchCommand& command) -> std::optional<std::string> {
    for (const std::string& entry : command.env_overrides) {
      if (entry.starts_with("DENO_V8_FLAGS=")) return entry.substr(14);
    }
    return std::nullopt;
  };
  const auto mapping = [](const LaunchCommand& command) {
    return std::count(command.env_overrides.begin(), command.env_overrides.end(),
                      "MALLOC_MMAP_THRESHOLD_=131072");
  };
  deno.env.unset("DENO_V8_FLAGS");
  deno.env.unset("MALLOC_MMAP_THRESHOLD_");
  fake_deno(true);
  Result<VeskEngine> engine = VeskEngine::create(Config::defaults());
  ASSERT_TRUE(engine.has_value());
  // JavaScript's heap is bounded by max_runner_memory_mb.
  const std::string ours = "--no-wasm-inlining-call-indirect,--max-old-space-size=2048";
  LaunchCommand command = *engine->launch_command("/own");
  EXPECT_EQ(v8_flags(command), ours);
  EXPECT_EQ(mapping(command), 1);
  EXPECT_EQ(command.spawn_options().env_overrides, command.env_overrides);
  command = *engine->launch_command("/own");
  EXPECT_EQ(v8_flags(command), ours);
  EXPECT_EQ(read_file(asked), "eval --no-config |" + ours + "\n");

  // The host's own flags follow, so that they win; a mapping threshold the
  // host chose is left alone.
  deno.env.set("DENO_V8_FLAGS", "--max-lazy");
  deno.env.set("MALLOC_MMAP_THRESHOLD_", "65536");
  command = *engine->launch_command("/own");
  EXPECT_EQ(v8_flags(command), ours + ",--max-lazy");
  EXPECT_EQ(mapping(command), 0);

  // Another Deno in its place (a new inode): asked again, and refusing, it
  // gets the host's variable as it is.
  fs::remove(deno.bin.path() / "deno");
  fake_deno(false);
  deno.env.unset("DENO_V8_FLAGS");
  command = *engine->launch_command("/own");
  EXPECT_EQ(v8_flags(command), std::nullopt);
  EXPECT_EQ(read_file(asked), "eval --no-config |" + ours + "\n" + "eval --no-config |" + ours +
                                  ",--max-lazy\n" + "eval --no-config |" + ours + "\n");
}

TEST(Engine, PathsWithACommaAreRefused) {
  // Deno splits its permission lists at commas: "/x/c,/" would grant "/".
  DenoOnPath deno;
  Result<VeskEngine> engine = VeskEngine::create(Config::defaults());
  ASSERT_TRUE(engine.has_value());
  const std::string expected_start = "cannot start the runner: the path '";
  for (const char* deno_dir : {"/x/cc2,/", "/fine"}) {
    deno.env.set("DENO_DIR", deno_dir);
    for (const char* own : {"/own", "/own,/"}) {
      Result<LaunchCommand> command = engine->launch_command(own);
      const bool bad = std::string(deno_dir).find(',') != std::string::npos ||
                       std::string(own).find(',') != std::string::npos;
      ASSERT_EQ(command.has_value(), !bad) << deno_dir << " " << own;
      if (bad) {
        EXPECT_EQ(command.error().message().rfind(expected_start, 0), 0u);
      }
    }
  }
}

TEST(Engine, PathsThatAreNotUtf8AreShownWithReplacements) {
  DenoOnPath deno;
  const fs::path odd = deno.tmp.path() / "t\xff";
  fs::create_directory(odd);
  deno.env.set("TMPDIR", odd.string());
  deno.env.set("DENO_DIR", "/d");
  Result<VeskEngine> engine = VeskEngine::create(Config::defaults());
  ASSERT_TRUE(engine.has_value()) << engine.error().message();
  EXPECT_TRUE(fs::exists(engine->script_path()));
  const std::string shown = (deno.tmp.path() / "t\xEF\xBF\xBD").string() + "/vesk_runner_" +
                            std::to_string(::getpid()) + ".js";
  EXPECT_EQ(engine->launch_command("/own")->args.end()[-3], shown);
}

TEST(Engine, ScriptFileLivesWhileAnyEngineHoldsIt) {
  DenoOnPath deno;
  std::optional<VeskEngine> first = *VeskEngine::create(Config::defaults());
  ASSERT_TRUE(fs::exists(deno.script()));
  EXPECT_EQ(first->script_path(), deno.script().string());
  EXPECT_EQ(read_file(deno.script()), runner_script());

  std::optional<VeskEngine> copy = *first;
  std::optional<VeskEngine> second = *VeskEngine::create(Config::defaults());
  EXPECT_EQ(second->script_path(), first->script_path());
  EXPECT_EQ(first->script_holders(), 3);

  // Dropping engines never removes the file another one still holds.
  first.reset();
  EXPECT_TRUE(fs::exists(deno.script()));
  second.reset();
  EXPECT_TRUE(fs::exists(deno.script()));

  // A file removed behind the engines' back comes back with the next one.
  fs::remove(deno.script());
  std::optional<VeskEngine> third = *VeskEngine::create(Config::defaults());
  EXPECT_EQ(read_file(deno.script()), runner_script());
  EXPECT_EQ(third->script_holders(), 2);

  copy.reset();
  EXPECT_TRUE(fs::exists(deno.script()));
  third.reset();
  EXPECT_FALSE(fs::exists(deno.script()));
  // No temporary files are left beside it either.
  EXPECT_EQ(count_entries(deno.tmp.path()), 0u);

  // After the last holder, a new engine starts a new file.
  std::optional<VeskEngine> fourth = *VeskEngine::create(Config::defaults());
  EXPECT_TRUE(fs::exists(deno.script()));
  EXPECT_EQ(fourth->script_holders(), 1);
  fourth.reset();
  EXPECT_FALSE(fs::exists(deno.script()));
}

TEST(Engine, ScriptFileIsReplacedNotWrittenThrough) {
  DenoOnPath deno;
  // A link planted at the predictable name must not lead the write elsewhere.
  TempDir other;
  const fs::path victim = other.path() / "victim";
  write_file(victim, "precious");
  fs::create_symlink(victim, deno.script());
  std::optional<VeskEngine> engine = *VeskEngine::create(Config::defaults());
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(deno.script())));
  EXPECT_EQ(read_file(deno.script()), runner_script());

  // A forked copy of the process that lets go of its engines leaves the
  // parent's file alone.
  const fs::path script = deno.script();
  const pid_t child = ::fork();
  if (child == 0) {
    engine.reset();
    ::_exit(fs::exists(script) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(fs::exists(deno.script()));
  engine.reset();
  EXPECT_FALSE(fs::exists(deno.script()));
}

TEST(Engine, ScriptThatCannotBeWrittenGivesTheOsError) {
  DenoOnPath deno;
  deno.env.set("TMPDIR", (deno.tmp.path() / "missing").string());
  Result<VeskEngine> engine = VeskEngine::create(Config::defaults());
  ASSERT_FALSE(engine.has_value());
  EXPECT_EQ(engine.error().message(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace vesk
