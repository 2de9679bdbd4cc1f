// A session's forget_before with the real runner: what a run made is freed
// once forgotten, although the session remembers what its runner holds.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/session/session.h"

namespace vesk {
namespace {

TEST(SessionHistory, ForgettingARunReleasesItsContents) {
  Config config;
  config.domain_allowlist = {};
  Result<VeskEngine> engine = VeskEngine::create(config);
  ASSERT_TRUE(engine.has_value()) << engine.error().message();
  Result<std::unique_ptr<Session>> created = Session::create(*engine);
  ASSERT_TRUE(created.has_value()) << created.error().message();
  Session& session = **created;
  Result<const Checkpoint*> run =
      session.execute_python("open('big', 'w').write('b' * (1 << 20))", [](std::string) {});
  ASSERT_TRUE(run) << run.error().message();
  const Content* big = (*run)->files.find("big");
  ASSERT_NE(big, nullptr);
  const std::weak_ptr<const std::string> held = *big;
  // An edit after the run: the runner's record is no longer the current map.
  ASSERT_TRUE(session.write_file("big", "small"));
  ASSERT_TRUE(session.forget_before(session.history().current_id(), false));
  EXPECT_TRUE(held.expired());
  // The next run still sees the workspace as it is.
  run = session.execute_python("print(open('big').read())", [](std::string) {});
  ASSERT_TRUE(run) << run.error().message();
  EXPECT_EQ((*run)->stdout_text, "small");
  EXPECT_EQ((*run)->id, 3u);
}

}  // namespace
}  // namespace vesk
