// Requests and byte arrays, there and back. The input makes some code, a few
// files (contents repeated up to 40 times, so that they cross the writer's
// buffer) and a package name. Each request is written into an in-memory
// file and must be, byte for byte, the compact JSON another library writes
// for the same values; text that is not UTF-8 must be refused with nothing
// written. The "files" object of the request, sent back inside a success
// reply, must decode to the same keys and bytes in the same order.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/io.h"
#include "core/runner/protocol.h"
#include "core/base/utf8.h"

namespace {

void check(bool ok, const char* what, std::string_view detail = {}) {
  if (ok) return;
  std::fprintf(stderr, "byte array check failed: %s\n  %.*s\n", what,
               static_cast<int>(std::min<std::size_t>(detail.size(), 2000)), detail.data());
  std::abort();
}

// One in-memory file for the whole run, emptied before each request.
int memory_file() {
  static const int fd = ::memfd_create("vesk-fuzz-request", MFD_CLOEXEC);
  check(fd >= 0, "memfd_create");
  check(::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0, "emptying the memory file");
  return fd;
}

std::string contents(int fd) {
  std::string out;
  char buf[65536];
  ssize_t n;
  off_t at = 0;
  while ((n = ::pread(fd, buf, sizeof buf, at)) > 0) {
    out.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return out;
}

// What nlohmann writes: no blanks, the same escapes, non-ASCII raw.
std::string reference_line(const nlohmann::ordered_json& j) { return j.dump() + "\n"; }

void check_execute(const std::string& code, const vesk::FileMap& files) {
  const int fd = memory_file();
  vesk::FdWriter out(fd);
  const vesk::Status s = vesk::write_execute_request(out, code, files);
  bool valid = vesk::is_valid_utf8(code);
  for (const auto& [key, content] : files) valid = valid && vesk::is_valid_utf8(key);
  const std::string line = contents(fd);
  if (!valid) {
    check(!s && line.empty(), "text that is not UTF-8 was written", line);
    return;
  }
  check(s.has_value(), "write failed", s ? "" : s.error().message());

  nlohmann::ordered_json expected = {{"code", code}, {"files", nlohmann::ordered_json::object()}};
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& [key, content] : files) {
    nlohmann::ordered_json bytes = nlohmann::ordered_json::array();
    for (unsigned char b : *content) bytes.push_back(b);
    expected["files"][key] = std::move(bytes);
    entries.emplace_back(key, *content);
  }
  check(line == reference_line(expected), "request differs from the reference", line);

  // The files object, answered back as a success reply.
  const std::size_t at = line.find(",\"files\":");
  check(at != std::string::npos, "no files in the request");
  const std::string files_json = line.substr(at + 9, line.size() - (at + 9) - 2);
  std::string reply = "{\"stdout\":\"\",\"stderr\":\"\",\"files\":" + files_json + "}\n";
  const auto decoded = vesk::decode_reply_line(reply);
  check(decoded.has_value(), "reply does not decode",
        decoded ? "" : decoded.error().message());
  check(std::holds_alternative<vesk::OkReply>(*decoded), "reply is not a success reply");
  check(std::get<vesk::OkReply>(*decoded).files == entries, "files changed on the way");
}

void check_install(const std::string& package) {
  const int fd = memory_file();
  vesk::FdWriter out(fd);
  const vesk::Status s = vesk::write_install_request(out, package);
  const std::string line = contents(fd);
  if (!vesk::is_valid_utf8(package)) {
    check(!s && line.empty(), "package name that is not UTF-8 was written", line);
    return;
  }
  check(s.has_value(), "write failed", s ? "" : s.error().message());
  check(line == reference_line(nlohmann::ordered_json{{"package", package}}),
        "install request differs from the reference", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string code = in.ConsumeRandomLengthString(256);
  vesk::FileMap files;
  const int count = in.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < count; ++i) {
    std::string key = in.ConsumeRandomLengthString(32);
    const std::string piece = in.ConsumeRandomLengthString(512);
    const int repeat = in.ConsumeIntegralInRange<int>(1, 40);
    std::string content;
    for (int r = 0; r < repeat; ++r) content += piece;
    files.set(std::move(key), vesk::make_content(std::move(content)));
  }
  check_execute(code, files);
  check_install(in.ConsumeRemainingBytesAsString());
  return 0;
}
