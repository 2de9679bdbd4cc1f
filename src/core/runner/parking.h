// The parker: one thread of the host process that parks idle sessions.
//
// Whatever may park (a session together with the lock its callers take)
// implements Parkable and tells the parker when to ask it next
// (schedule_parking), typically at the end of every call: when its runner
// will have been idle long enough. The thread sleeps until the earliest such
// time, then asks each target that is due, outside its own lock, and asks
// again when the target's answer says. A target is held weakly: one that is
// gone is forgotten, and a target the parker is asking stays alive until the
// answer (its last holder may then be the parker, which releases it on its
// own thread). The thread runs while any target is scheduled and ends when
// none is; a forked child of the host starts its own on its first schedule.
//
// The parker touches nothing but its targets: no interpreter lock, no
// Python object. Thread-safe.
#ifndef VESK_CORE_RUNNER_PARKING_H_
#define VESK_CORE_RUNNER_PARKING_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

namespace vesk {

using ParkClock = std::chrono::steady_clock;

class Parkable {
 public:
  virtual ~Parkable() = default;
  // Parks if it is due at `now` and free (a target busy with a call is not
  // idle, and is not waited for). Returns when to be asked again, or nullopt
  // for not until it is scheduled anew. Called on the parker's thread; must
  // not throw.
  virtual std::optional<ParkClock::time_point> park_if_due(ParkClock::time_point now) = 0;
};

// Asks `target` to park at `when`, in place of any time set before; nullopt
// forgets it. Best effort: when the parker's thread cannot be started, the
// target is not asked (it stays live) until a later schedule starts one.
void schedule_parking(const std::shared_ptr<Parkable>& target,
                      std::optional<ParkClock::time_point> when);

// How many targets are scheduled now, and whether the thread runs (tests).
std::size_t parking_targets();
bool parker_running();

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_PARKING_H_
