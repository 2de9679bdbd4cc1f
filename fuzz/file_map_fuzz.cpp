// The persistent file map against std::map. The input is a program of
// operations (set, erase, copy); after each one the map must agree with the
// model on size, total bytes, lookups, iteration and key order, and every
// earlier copy must still hold exactly what it held when it was taken, since
// copies share structure with the map that goes on changing. At the end the
// structural diff between the map and each copy must report exactly the keys
// the two models disagree on.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/history/file_map.h"

namespace {

using Model = std::map<std::string, std::string>;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "file map check failed: %s\n", what);
  std::abort();
}

void check_against(const vesk::FileMap& map, const Model& model) {
  check(map.size() == model.size(), "size");
  check(map.empty() == model.empty(), "empty");
  std::uint64_t total = 0;
  for (const auto& [key, content] : model) {
    total += content.size();
    const vesk::Content* found = map.find(key);
    check(found != nullptr && *found && **found == content, "lookup of a present key");
  }
  check(map.total_bytes() == total, "total bytes");

  Model seen;
  std::size_t visited = 0;
  for (const auto& [key, content] : map) {
    ++visited;
    check(content != nullptr, "entry without content");
    check(seen.emplace(key, *content).second, "key visited twice");
  }
  check(visited == model.size() && seen == model, "iteration");

  const std::vector<std::string_view> keys = map.sorted_keys();
  check(keys.size() == model.size(), "sorted key count");
  auto it = model.begin();
  for (std::string_view k : keys) check(k == (it++)->first, "sorted key order");
}

// Checks FileMap::diff(from, to) against the models, key by key.
void check_diff(const vesk::FileMap& from, const Model& from_model, const vesk::FileMap& to,
                const Model& to_model) {
  std::size_t expected = 0;
  for (const auto& [key, content] : from_model) {
    auto it = to_model.find(key);
    if (it == to_model.end() || it->second != content) ++expected;
  }
  for (const auto& [key, content] : to_model) expected += from_model.contains(key) ? 0 : 1;

  Model reported;
  for (const vesk::FileMap::Difference& d : vesk::FileMap::diff(from, to)) {
    check(reported.emplace(d.key, "").second, "diff reports a key twice");
    const vesk::Content* a = from.find(d.key);
    const vesk::Content* b = to.find(d.key);
    check(d.from == a && d.to == b, "diff points elsewhere than the maps' entries");
    check(a == nullptr || b == nullptr || **a != **b, "diff reports equal contents");
    check(a != nullptr || b != nullptr, "diff reports a key in neither map");
  }
  check(reported.size() == expected, "diff misses a difference");

  // By object: exactly the keys whose content objects differ, equal bytes
  // or not.
  std::size_t by_object = 0;
  for (const auto& [key, content] : from) {
    const vesk::Content* b = to.find(key);
    if (b == nullptr || *b != content) ++by_object;
  }
  for (const auto& [key, content] : to) by_object += from.contains(key) ? 0 : 1;
  Model seen;
  for (const vesk::FileMap::Difference& d :
       vesk::FileMap::diff(from, to, vesk::FileMap::Compare::kObjects)) {
    check(seen.emplace(d.key, "").second, "diff by object reports a key twice");
    check(d.from == from.find(d.key) && d.to == to.find(d.key),
          "diff by object points elsewhere than the maps' entries");
    check(d.from == nullptr || d.to == nullptr || *d.from != *d.to,
          "diff by object reports one object");
  }
  check(seen.size() == by_object, "diff by object misses a difference");
}

std::string take_key(FuzzedDataProvider& in) {
  // Short keys from a small alphabet, so that operations meet the same keys.
  return in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 6));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  vesk::FileMap map;
  Model model;
  std::vector<std::pair<vesk::FileMap, Model>> copies;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0:
      case 1: {
        std::string key = take_key(in);
        std::string content = in.ConsumeRandomLengthString(64);
        model[key] = content;
        map.set(std::move(key), vesk::make_content(std::move(content)));
        break;
      }
      case 2: {
        const std::string key = take_key(in);
        const bool had = model.erase(key) == 1;
        check(map.erase(key) == had, "erase result");
        check(map.find(key) == nullptr, "erased key still found");
        break;
      }
      case 3:
        if (copies.size() < 8) copies.emplace_back(map, model);
        break;
      case 4: {
        // Continue from an earlier copy: the current map is the one dropped.
        if (copies.empty()) break;
        const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, copies.size() - 1);
        map = copies[i].first;
        model = copies[i].second;
        break;
      }
    }
    check_against(map, model);
  }
  for (const auto& [copy, copy_model] : copies) {
    check_against(copy, copy_model);
    check_diff(copy, copy_model, map, model);
    check_diff(map, model, copy, copy_model);
  }

  // Equality: a map built from the model in reverse order is the same map;
  // one byte more in any content makes it another.
  vesk::FileMap rebuilt;
  for (auto it = model.rbegin(); it != model.rend(); ++it) {
    rebuilt.set(it->first, vesk::make_content(it->second));
  }
  check(rebuilt == map && map == rebuilt, "equality with a rebuilt map");
  check_diff(rebuilt, model, map, model);
  if (!model.empty()) {
    rebuilt.set(model.begin()->first, vesk::make_content(model.begin()->second + "x"));
    check(!(rebuilt == map), "maps with different contents compare equal");
    Model changed = model;
    changed.begin()->second += "x";
    check_diff(map, model, rebuilt, changed);
  }
  return 0;
}
