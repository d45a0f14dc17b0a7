#include "core/scheduler.h"

namespace sim {

Scheduler::Id Scheduler::at(Ticks when, Fn fn) {
    if (when < now_) when = now_;
    Id id = nextId_++;
    queue_.emplace(Key{when, id}, std::move(fn));
    index_.emplace(id, when);
    return id;
}

bool Scheduler::cancel(Id id) {
    auto it = index_.find(id);
    if (it == index_.end()) return false;
    queue_.erase(Key{it->second, id});
    index_.erase(it);
    return true;
}

void Scheduler::runDue() {
    while (!queue_.empty() && queue_.begin()->first.first <= now_) {
        auto node = queue_.extract(queue_.begin());
        index_.erase(node.key().second);
        node.mapped()();
    }
}

void Scheduler::advanceTo(Ticks t) {
    while (!queue_.empty() && queue_.begin()->first.first <= t) {
        setNow(queue_.begin()->first.first);
        runDue();
    }
    setNow(t);
}

void Scheduler::clear() {
    queue_.clear();
    index_.clear();
}

}  // namespace sim
