// The one event queue of the simulated board: every peripheral and circuit
// schedules its future events here, and the run loop executes the core only up
// to the next one.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>

#include "core/time.h"

namespace sim {

class Scheduler {
public:
    using Id = uint64_t;
    using Fn = std::function<void()>;

    Ticks now() const { return now_; }
    // The run loop moves time forward; it never goes back.
    void setNow(Ticks t) { if (t > now_) now_ = t; }

    // Schedules fn at `when` (not before now). Events at the same time run in
    // the order they were scheduled. Returns an id for cancel().
    Id at(Ticks when, Fn fn);
    Id after(Ticks delay, Fn fn) { return at(now_ + delay, std::move(fn)); }
    // Returns false when the event already ran or was cancelled. Id 0 is never used.
    bool cancel(Id id);
    bool pending(Id id) const { return index_.count(id) != 0; }

    // Time of the earliest event, kNever when none.
    Ticks nextDue() const { return queue_.empty() ? kNever : queue_.begin()->first.first; }
    // Runs every event due at or before now(), in time order, including those
    // that events scheduled for now.
    void runDue();
    // Moves time to t, running every event on the way at its own time.
    void advanceTo(Ticks t);
    void clear();
    size_t size() const { return queue_.size(); }

private:
    using Key = std::pair<Ticks, Id>;
    Ticks now_ = 0;
    Id nextId_ = 1;
    std::map<Key, Fn> queue_;
    std::unordered_map<Id, Ticks> index_;
};

}  // namespace sim
