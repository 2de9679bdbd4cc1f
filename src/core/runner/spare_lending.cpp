// The implementation of spare_lending.h; its role and contract are stated there.

#include "core/runner/spare_lending.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
// glibc 2.36 declares pidfd_open() without C linkage (see process.cpp).
extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/base/io.h"
#include "core/runner/spare_runner.h"

namespace vesk {

namespace {

constexpr std::size_t kMaxFds = 5;
// A command key is a few kilobytes; a longer request is not one of ours.
constexpr std::size_t kMaxMessage = 256 * 1024;
// The keeper answers at once; a worker that waits longer starts its own.
constexpr int kAnswerMs = 5000;

bool send_message(int socket, std::string_view text, const std::vector<int>& fds) {
  if (fds.size() > kMaxFds) return false;
  iovec io{const_cast<char*>(text.data()), text.size()};
  msghdr msg{};
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)]{};
  if (!fds.empty()) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* header = CMSG_FIRSTHDR(&msg);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
  }
  ssize_t n;
  while ((n = ::sendmsg(socket, &msg, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return n == static_cast<ssize_t>(text.size());
}

// One datagram into `text` and the descriptors that came with it (close-on-
// exec). Returns its length, 0 at the end of the stream, -1 on an error or a
// datagram cut short (too long to be ours).
ssize_t receive_message(int socket, std::string& text, std::vector<UniqueFd>& fds) {
  text.resize(kMaxMessage);
  fds.clear();
  iovec io{text.data(), text.size()};
  msghdr msg{};
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)]{};
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  while ((n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
  }
  for (cmsghdr* h = CMSG_FIRSTHDR(&msg); n >= 0 && h != nullptr; h = CMSG_NXTHDR(&msg, h)) {
    if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(h) + i * sizeof(int), sizeof fd);
      fds.emplace_back(fd);
    }
  }
  if (n < 0 || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
    if (n >= 0) errno = EMSGSIZE;
    text.clear();
    return -1;
  }
  text.resize(static_cast<std::size_t>(n));
  return n;
}

// The numbers after `prefix` in `text`, separated by single spaces.
std::vector<long> numbers_after(std::string_view text, std::string_view prefix) {
  std::vector<long> out;
  if (!text.starts_with(prefix)) return out;
  text.remove_prefix(prefix.size());
  while (!text.empty()) {
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || value <= 0) return {};
    out.push_back(value);
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (!text.empty()) {
      if (text.front() != ' ') return {};
      text.remove_prefix(1);
    }
  }
  return out;
}

// ---- the keeper's side

struct Channel {
  UniqueFd socket;
  long worker = 0;
};

struct Lent {
  long worker = 0;
  const Channel* channel = nullptr;
  RunnerProcess process;
};

class Keeper {
 public:
  Keeper(const VeskEngine& engine, int control) : engine_(engine), control_(control) {
    key_ = runner_command_key(engine);
  }
  ~Keeper() {
    for (Lent& lent : lent_) lent.process.spawned.child->kill();
  }

  Status run() {
    replace_spare(true);
    std::vector<pollfd> polled;
    for (;;) {
      polled.assign(1, pollfd{control_, POLLIN, 0});
      for (const auto& channel : channels_) polled.push_back({channel->socket.get(), POLLIN, 0});
      // Lent runners are reaped as they end; with none, nothing but a
      // message can be waited for.
      const int ready = ::poll(polled.data(), polled.size(), lent_.empty() ? -1 : 200);
      if (ready < 0 && errno != EINTR) return fail(Error::last_os_error());
      reap();
      if (ready <= 0) continue;
      if (polled[0].revents != 0 && !from_server()) return {};
      // Back to front, so that dropping a channel leaves the indices of
      // those not yet looked at as they were.
      for (std::size_t i = polled.size() - 1; i >= 1; --i) {
        if (polled[i].revents != 0) from_worker(i - 1);
      }
    }
  }

 private:
  // False when the server has gone.
  bool from_server() {
    std::string text;
    std::vector<UniqueFd> fds;
    const ssize_t n = receive_message(control_, text, fds);
    if (n <= 0) return n < 0 && errno == EMSGSIZE;
    if (const std::vector<long> pid = numbers_after(text, "channel "); pid.size() == 1) {
      if (fds.size() == 1) channels_.push_back(std::make_unique<Channel>(std::move(fds[0]), pid[0]));
    } else if (const std::vector<long> ended = numbers_after(text, "end "); ended.size() == 1) {
      for (Lent& lent : lent_) {
        if (lent.worker == ended[0]) lent.process.spawned.child->kill();
      }
    }
    return true;
  }

  void from_worker(std::size_t index) {
    Channel& channel = *channels_[index];
    std::string text;
    std::vector<UniqueFd> fds;
    const ssize_t n = receive_message(channel.socket.get(), text, fds);
    if (n == 0 || (n < 0 && errno != EMSGSIZE)) {
      // The worker has gone: so has its use for what it borrowed.
      for (Lent& lent : lent_) {
        if (lent.channel != &channel) continue;
        lent.process.spawned.child->kill();
        lent.channel = nullptr;
      }
      channels_.erase(channels_.begin() + static_cast<std::ptrdiff_t>(index));
      return;
    }
    std::string_view request(text);
    if (request == "served") {
      if (pending_) pending_->open();
      return;
    }
    std::optional<RunnerProcess> spare;
    if (n > 0 && request.starts_with("take ") && request.substr(5) == key_ && !key_.empty()) {
      spare = take_spare_runner(engine_);
    }
    if (!spare) {
      (void)send_message(channel.socket.get(), "none", {});
      // It had ended, or was never started: start one now.
      if (n > 0) replace_spare(true);
      return;
    }
    lend(channel, std::move(*spare));
    replace_spare(false);
  }

  void lend(Channel& channel, RunnerProcess process) {
    const pid_t pid = process.spawned.child->pid();
    UniqueFd pidfd(::pidfd_open(pid, 0));
    UniqueFd inner;
    if (process.pid != pid) inner.reset(::pidfd_open(process.pid, 0));
    std::vector<int> fds = {process.spawned.stdin_fd.get(), process.spawned.stdout_fd.get(),
                            process.spawned.stderr_fd.get(), pidfd.get()};
    if (inner) fds.push_back(inner.get());
    const std::string text = "runner " + std::to_string(pid) + ' ' + std::to_string(process.pid);
    const bool sent = process.spawned.stderr_fd && pidfd && (process.pid == pid || inner) &&
                      send_message(channel.socket.get(), text, fds);
    // The worker has its own copies now; the keeper's would keep the
    // runner's input open (and it alive) after the worker has gone.
    process.spawned.stdin_fd.reset();
    process.spawned.stdout_fd.reset();
    process.spawned.stderr_fd.reset();
    if (!sent) {
      process.spawned.child->kill();
      (void)send_message(channel.socket.get(), "none", {});
    }
    lent_.push_back(Lent{channel.worker, &channel, std::move(process)});
  }

  // Starts a spare unless one runs or is being started: at once, or once the
  // runner just lent has had its second to start its first call.
  void replace_spare(bool now) {
    std::shared_ptr<SpareGate> gate = start_spare_runner(engine_, /*pipe_stderr=*/true);
    if (gate && now) gate->open();
    if (gate) pending_ = gate;
  }

  void reap() {
    std::erase_if(lent_, [](Lent& lent) { return lent.process.spawned.child->try_wait().has_value(); });
  }

  const VeskEngine& engine_;
  const int control_;
  std::string key_;
  std::vector<std::unique_ptr<Channel>> channels_;
  std::vector<Lent> lent_;
  std::shared_ptr<SpareGate> pending_;  // of the spare being started
};

// ---- the borrower's side

struct BorrowState {
  std::mutex mu;
  bool looked = false;
  pid_t owner = 0;
  int socket = -1;  // not ours to close: it is the process's inherited one
};

BorrowState& borrow_state() {
  static BorrowState* s = new BorrowState();
  return *s;
}

// The inherited channel, if the environment names a socket of the right
// kind; called once per process with the lock held.
int channel_from_environment() {
  const char* value = std::getenv("VESK_SPARE_CHANNEL");
  if (value == nullptr || *value == '\0') return -1;
  int fd = -1;
  const std::string_view text(value);
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fd);
  int type = 0;
  socklen_t length = sizeof type;
  struct stat st {};
  if (ec != std::errc() || end != text.data() + text.size() || fd < 3 || ::fstat(fd, &st) != 0 ||
      !S_ISSOCK(st.st_mode) || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
      type != SOCK_SEQPACKET) {
    std::fprintf(stderr, "vesk: ignored VESK_SPARE_CHANNEL: not a descriptor of a packet socket\n");
    return -1;
  }
  (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

// What a borrowed runner writes to its standard error goes to this
// process's, as a runner's own would (a server tags it with the worker's
// name), on a thread that ends with the runner. A relay that cannot start
// drops the pipe: the runner's writes to it then fail, nothing blocks.
void relay_to_stderr(UniqueFd from) {
  try {
    std::thread([fd = std::move(from)] {
      char buffer[8192];
      for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        (void)write_all(STDERR_FILENO, std::string_view(buffer, static_cast<std::size_t>(n)));
      }
    }).detach();
  } catch (...) {
  }
}

}  // namespace

Status serve_spares(const VeskEngine& engine, int control_fd) {
  if (engine.config().park_after_idle_secs == 0 || !engine.config().spare_runner) return {};
  return guard([&]() -> Status { return Keeper(engine, control_fd).run(); });
}

std::optional<RunnerProcess> borrow_spare_runner(const VeskEngine& engine) {
  BorrowState& s = borrow_state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.looked) {
    s.looked = true;
    s.owner = ::getpid();
    s.socket = channel_from_environment();
  }
  // A forked child shares the socket with its parent: their questions and
  // answers would cross.
  if (s.socket < 0 || s.owner != ::getpid()) return std::nullopt;
  const std::string key = runner_command_key(engine);
  if (key.empty()) return std::nullopt;
  std::string text;
  std::vector<UniqueFd> fds;
  pollfd p{s.socket, POLLIN, 0};
  int ready = -1;
  if (send_message(s.socket, "take " + key, {})) {
    while ((ready = ::poll(&p, 1, kAnswerMs)) < 0 && errno == EINTR) {
    }
  }
  // No answer in time: a late one would be taken for the answer to the
  // next question.
  if (ready <= 0 || receive_message(s.socket, text, fds) <= 0) {
    s.socket = -1;
    return std::nullopt;
  }
  const std::vector<long> ids = numbers_after(text, "runner ");
  if (ids.size() != 2) return std::nullopt;
  const bool sandboxed = ids[0] != ids[1];
  if (fds.size() != (sandboxed ? 5u : 4u)) return std::nullopt;
  RunnerProcess process;
  process.spawned.stdin_fd = std::move(fds[0]);
  process.spawned.stdout_fd = std::move(fds[1]);
  process.spawned.child = std::make_shared<Child>(static_cast<pid_t>(ids[0]), std::move(fds[3]),
                                                  sandboxed ? std::move(fds[4]) : UniqueFd());
  process.pid = static_cast<pid_t>(ids[1]);
  if (process.spawned.child->try_wait()) return std::nullopt;
  relay_to_stderr(std::move(fds[2]));
  return process;
}

std::shared_ptr<SpareGate> borrowed_runner_gate() {
  return std::make_shared<SpareGate>([] {
    BorrowState& s = borrow_state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.socket >= 0 && s.owner == ::getpid()) {
      (void)::send(s.socket, "served", 6, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  });
}

}  // namespace vesk
