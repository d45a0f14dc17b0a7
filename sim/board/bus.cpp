#include "board/bus.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace sim {

// ---- BusNode ----

BusNode::~BusNode() {
    if (bus_) bus_->nodeGone(index_);
}

void BusNode::transmitted(uint8_t value, Ticks start, Ticks end) {
    if (bus_) bus_->nodeTransmitted(index_, value, start, end);
}

void BusNode::driverChanged(bool on, Ticks t) {
    driverOn_ = on;
    if (bus_) bus_->nodeDriverChanged(index_, on, t);
}

// ---- Station: what one station drives ----

bool Bus::Station::enabledAt(Ticks t) const {
    // Last change at or before t; none means off.
    auto it = std::upper_bound(enable.begin(), enable.end(), t,
                               [](Ticks x, const std::pair<Ticks, bool>& e) { return x < e.first; });
    return it != enable.begin() && std::prev(it)->second;
}

// Bit k of a byte spans [start + ceil(k*D/10), start + ceil((k+1)*D/10)), D = end - start.
static Ticks bitEdge(Ticks start, Ticks end, unsigned k) { return start + ((end - start) * k + 9) / 10; }

int Bus::Station::bitAt(Ticks t, const Tx** in) const {
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) {
        if (it->start > t) continue;
        if (t >= it->end) break;  // bytes do not overlap: nothing earlier covers t
        if (in) *in = &*it;
        if (it->isBreak) return 0;
        const unsigned k = unsigned((t - it->start) * 10 / (it->end - it->start));
        if (k == 0) return 0;
        if (k <= 8) return (it->value >> (k - 1)) & 1;
        return 1;
    }
    if (in) *in = nullptr;
    return 1;
}

// ---- Bus ----

Bus::Bus(double baud, Wiring wiring)
    : baud_(baud), wiring_(wiring), hostBaud_(baud),
      maxSlice_(wiring == Wiring::HalfDuplex ? kNever : charTime() * 10),
      checkInterval_(wiring == Wiring::HalfDuplex ? charTime() / 4 : charTime() * 10) {}

Bus::~Bus() {
    for (Station& s : nodes_)
        if (s.node) s.node->bus_ = nullptr;
}

void Bus::nodeGone(unsigned i) {
    nodes_[i].node = nullptr;
    if (fault_.empty()) fault_ = name(i) + " was destroyed while on the bus";
}

Ticks Bus::charTime() const { return Ticks(std::llround(10.0 * double(kTicksPerSecond) / baud_)); }

Ticks Bus::lookahead() const {
    Ticks shortest = charTime();
    if (hostBaud_ > 0) shortest = std::min(shortest, Ticks(std::llround(10.0 * double(kTicksPerSecond) / hostBaud_)));
    for (const Station& s : nodes_)
        if (s.node)
            if (const Ticks t = s.node->shortestByte(); t > 0 && t < shortest) shortest = t;
    return std::max<Ticks>(shortest, 1);
}

unsigned Bus::addNode(BusNode& node) {
    if (nodes_.size() >= kMaxNodes) throw std::length_error("bus: too many nodes");
    Station s;
    s.node = &node;
    node.bus_ = this;
    node.index_ = unsigned(nodes_.size());
    node.resumed_ = false;
    // The bus starts where its latest station already is.
    if (!started_) settled_ = scanFrom_ = now_ = std::max(now_, node.now());
    if (node.driverOn_) s.enable.emplace_back(std::max(settled_, node.now()), true);
    nodes_.push_back(std::move(s));
    return node.index_;
}

template <class F>
void Bus::forEachStation(F f) {
    for (unsigned i = 0; i < nodes_.size(); ++i) f(nodes_[i], i);
    f(host_, kHostBit);
}

static std::string ms(Ticks t) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f ms", toMillis(t));
    return b;
}

std::string Bus::name(unsigned i) const { return nodeName ? nodeName(i) : "node " + std::to_string(i); }

std::string Bus::who(uint32_t mask) const {
    std::string s;
    for (unsigned i = 0; i < 32; ++i) {
        if (!((mask >> i) & 1)) continue;
        if (!s.empty()) s += ", ";
        s += i == kHostBit ? std::string("host") : name(i);
    }
    return s;
}

void Bus::report(std::string what) {
    if (onReport) onReport(what);
    reports_.push_back(std::move(what));
}

void Bus::nodeTransmitted(unsigned i, uint8_t value, Ticks start, Ticks end) {
    if (end <= start) return;
    if (start < settled_)
        report(name(i) + " reported a byte at " + ms(settled_) + " that started at " + ms(start));
    nodes_[i].bytes.push_back(Tx{value, start, end});
}

void Bus::nodeDriverChanged(unsigned i, bool on, Ticks t) {
    auto& e = nodes_[i].enable;
    if (t < settled_) {
        report(name(i) + " driver change at " + ms(t) + " reported late");
        t = settled_;
    }
    if (!e.empty() && e.back().first > t) t = e.back().first;  // keep time order
    if (!e.empty() && e.back().first == t) {
        e.back().second = on;  // the later change in one tick wins
        const bool before = e.size() > 1 && e[e.size() - 2].second;
        if (before == on) e.pop_back();  // no change after all
        return;
    }
    const bool current = !e.empty() && e.back().second;
    if (current != on) e.emplace_back(t, on);
}

Ticks Bus::hostSend(std::string_view bytes) { return hostSendAt(now_, bytes); }

Ticks Bus::hostSendAt(Ticks start, std::string_view bytes) {
    if (bytes.empty()) return std::max(now_, hostIdleAt_);
    Ticks s = std::max({start, now_, hostIdleAt_});
    const Ticks d = Ticks(std::llround(10.0 * double(kTicksPerSecond) / hostBaud_));
    if (wiring_ == Wiring::FullDuplex) {
        // The host's wire has one driver: nothing to decode or contend with.
        for (char c : bytes) {
            hostWire_.push_back(Tx{uint8_t(c), s, s + d, true});
            s += d;
        }
        hostIdleAt_ = s;
        return s;
    }
    auto& e = host_.enable;
    // A burst that follows the previous one without a gap keeps the driver on.
    if (!e.empty() && !e.back().second && e.back().first == s)
        e.pop_back();
    else
        e.emplace_back(s, true);
    for (char c : bytes) {
        host_.bytes.push_back(Tx{uint8_t(c), s, s + d, true});
        s += d;
    }
    e.emplace_back(s, false);
    hostIdleAt_ = s;
    return s;
}

Ticks Bus::hostBreak(Ticks duration) {
    const Ticks s = std::max(now_, hostIdleAt_), end = s + std::max<Ticks>(duration, 1);
    const Tx b{0, s, end, true, true};
    if (wiring_ == Wiring::FullDuplex) {
        hostWire_.push_back(b);
    } else {
        auto& e = host_.enable;
        if (!e.empty() && !e.back().second && e.back().first == s)
            e.pop_back();
        else
            e.emplace_back(s, true);
        host_.bytes.push_back(b);
        e.emplace_back(end, false);
    }
    // A UART returns to mark for at least a bit before its next start bit;
    // without it the next byte's start would be no edge at all.
    hostIdleAt_ = end + Ticks(std::llround(double(kTicksPerSecond) / hostBaud_));
    return end;
}

std::string Bus::hostText(size_t from) const {
    std::string s;
    for (size_t i = from; i < hostRx_.size(); ++i) s += char(hostRx_[i].value);
    return s;
}

int Bus::levelAt(Ticks t, uint32_t* active) {
    uint32_t on = 0;
    bool mark = false, space = false;
    forEachStation([&](const Station& s, unsigned bit) {
        if (!s.enabledAt(t)) return;
        const Tx* in = nullptr;
        const int level = s.bitAt(t, &in);
        // Half duplex: every enabled driver counts; full duplex: the senders.
        if (wiring_ == Wiring::HalfDuplex || in) on |= 1u << bit;
        if (level) mark = true; else space = true;
    });
    if (active) *active = on;
    if (wiring_ == Wiring::FullDuplex) return space ? 0 : 1;
    return on && !mark ? 0 : 1;
}

void Bus::breakpoints(Ticks from, Ticks to, std::vector<Ticks>& out) {
    out.clear();
    auto add = [&](Ticks t) {
        if (t >= from && t < to) out.push_back(t);
    };
    forEachStation([&](const Station& s, unsigned) {
        for (const auto& e : s.enable) add(e.first);
        for (const Tx& b : s.bytes) {
            if (b.end < from || b.start >= to) continue;
            if (b.isBreak) {
                add(b.start);
                add(b.end);
                continue;
            }
            for (unsigned k = 0; k <= 10; ++k) add(bitEdge(b.start, b.end, k));
        }
    });
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

void Bus::findCollisions(Ticks from, Ticks to) {
    if (to <= from) return;
    // A collision takes two drivers on at once: most windows have one at most.
    unsigned mayDrive = 0;
    forEachStation([&](const Station& s, unsigned) {
        bool on = s.enabledAt(from);
        for (const auto& e : s.enable) on |= e.second && e.first >= from && e.first < to;
        mayDrive += on;
    });
    if (mayDrive < 2) return;
    std::vector<Ticks> bp;
    breakpoints(from, to, bp);
    if (bp.empty() || bp.front() != from) bp.insert(bp.begin(), from);
    for (size_t i = 0; i < bp.size(); ++i) {
        const Ticks a = bp[i], b = i + 1 < bp.size() ? bp[i + 1] : to;
        uint32_t active = 0, senders = 0;
        forEachStation([&](const Station& s, unsigned bit) {
            if (!s.enabledAt(a)) return;
            active |= 1u << bit;
            const Tx* in = nullptr;
            s.bitAt(a, &in);
            if (in) senders |= 1u << bit;
        });
        // Half duplex: a second enabled driver spoils any byte; full duplex:
        // an idle driver holds mark harmlessly, two senders clash.
        if (wiring_ == Wiring::FullDuplex) active = senders;
        if (std::popcount(active) < 2 || !senders) continue;
        // Pieces of one incident (drivers pausing between bytes) make one collision.
        if (!collisions_.empty() && a - collisions_.back().end <= charTime()) {
            collisions_.back().end = b;
            collisions_.back().drivers |= active;
        } else {
            collisions_.push_back(Collision{a, b, active});
            report("collision at " + ms(a) + ": " + who(active) + " driving the line");
        }
    }
}

void Bus::checkTransmissions(Ticks horizon) {
    for (unsigned i = 0; i < nodes_.size(); ++i) {
        Station& s = nodes_[i];
        for (Tx& b : s.bytes) {
            if (b.checked || b.end > horizon) continue;
            b.checked = true;
            const bool atStart = s.enabledAt(b.start);
            bool throughout = atStart;
            for (const auto& e : s.enable)
                if (e.first > b.start && e.first < b.end && !e.second) throughout = false;
            if (throughout) continue;
            txFaults_.push_back(TxFault{i, b.value, b.start, b.end, !atStart});
            char v[8];
            std::snprintf(v, sizeof v, "0x%02X", b.value);
            report(name(i) + " sent " + v + " at " + ms(b.start) +
                   (atStart ? " and switched its driver off before the end of the byte"
                            : " with its driver off: the byte never reached the line"));
        }
    }
}

void Bus::completeFrame() {
    const Frame f = *frame_;
    frame_.reset();
    auto sample = [&](unsigned k) { return f.edge + Ticks(std::llround((k + 0.5) * f.bitTicks)); };
    uint32_t drivers = 0, active = 0;
    if (levelAt(sample(0), &active) != 0) {
        scanFrom_ = sample(0);  // a glitch, not a start bit
        return;
    }
    drivers |= active;
    unsigned value = 0;
    for (unsigned k = 1; k <= 8; ++k) {
        value |= unsigned(levelAt(sample(k), &active)) << (k - 1);
        drivers |= active;
    }
    const bool stop = levelAt(sample(9), &active);
    drivers |= active;
    scanFrom_ = sample(9);

    LineByte lb;
    lb.value = uint8_t(value);
    lb.start = f.edge;
    lb.end = f.end;
    lb.baud = f.baud;
    lb.drivers = drivers;
    lb.framingError = !stop;
    lb.isBreak = !stop && value == 0;
    // Flag the byte if a collision overlapped it or any byte that its drivers sent into it.
    Ticks lo = f.edge, hi = f.end;
    forEachStation([&](const Station& s, unsigned bit) {
        if (!((drivers >> bit) & 1)) return;
        for (const Tx& b : s.bytes)
            if (b.start < f.end && b.end > f.edge) {
                lo = std::min(lo, b.start);
                hi = std::max(hi, b.end);
            }
    });
    for (auto it = collisions_.rbegin(); it != collisions_.rend(); ++it)
        if (it->start < hi && it->end > lo) lb.collision = true;
    line_.push_back(lb);
    lastActivity_ = std::max(lastActivity_, f.end);
    if (!lb.fromHost()) hostRx_.push_back(lb);
    if (wiring_ == Wiring::FullDuplex) return;  // the nodes' wire goes to the host alone
    if (f.end < now_)
        report("byte delivered " + ms(now_ - f.end) + " late: slices longer than a character");
    for (Station& s : nodes_) {
        unsigned heard = lb.value;
        bool stopHeard = stop;
        if (!s.node->hearsWhileDriving()) {
            // Receiver off while this station drives: no start bit, or ones.
            if (s.enabledAt(sample(0))) continue;
            for (unsigned k = 1; k <= 8; ++k)
                if (s.enabledAt(sample(k))) heard |= 1u << (k - 1);
            stopHeard = stopHeard || s.enabledAt(sample(9));
        }
        const Ticks at = std::max(f.end, now_);
        if (stopHeard)
            s.node->receive(uint8_t(heard), lb.baud, at);
        else
            s.node->receiveError(uint8_t(heard), lb.baud, at, heard == 0);
    }
    delivered_ = true;
}

void Bus::deliverHostBytes() {
    while (!hostWire_.empty() && hostWire_.front().end <= now_) {
        const Tx b = hostWire_.front();
        hostWire_.pop_front();
        LineByte lb;
        lb.value = b.value;
        lb.start = b.start;
        lb.end = b.end;
        lb.baud = hostBaud_;
        lb.drivers = 1u << kHostBit;
        lb.framingError = lb.isBreak = b.isBreak;
        line_.push_back(lb);
        lastActivity_ = std::max(lastActivity_, b.end);
        for (Station& s : nodes_) {
            if (b.isBreak)
                s.node->receiveError(0, hostBaud_, b.end, true);
            else
                s.node->receive(b.value, hostBaud_, b.end);
        }
        delivered_ = true;
    }
}

void Bus::settle(Ticks horizon) {
    findCollisions(settled_, horizon);
    std::vector<Ticks> bp;
    for (;;) {
        if (frame_) {
            // Every sample lies before the end, so the frame is final once the line is.
            if (frame_->end > horizon) break;
            completeFrame();
            continue;
        }
        breakpoints(scanFrom_, horizon, bp);
        std::optional<Ticks> edge;
        for (Ticks t : bp)
            if (levelAt(t) == 0 && (t == 0 || levelAt(t - 1) == 1)) {
                edge = t;
                break;
            }
        if (!edge) {
            scanFrom_ = horizon;
            break;
        }
        // The rate of the first station sending the 0 that made the edge.
        double bitTicks = 0;
        forEachStation([&](const Station& s, unsigned) {
            const Tx* in = nullptr;
            if (bitTicks == 0 && s.enabledAt(*edge) && s.bitAt(*edge, &in) == 0 && in)
                bitTicks = in->isBreak ? double(kTicksPerSecond) / hostBaud_ : double(in->end - in->start) / 10;
        });
        if (bitTicks == 0) bitTicks = double(charTime()) / 10;
        frame_ = Frame{*edge, bitTicks, double(kTicksPerSecond) / bitTicks,
                       *edge + Ticks(std::llround(10 * bitTicks))};
        scanFrom_ = *edge + 1;
    }
    settled_ = horizon;
    checkTransmissions(horizon);
    prune();
}

void Bus::prune() {
    Ticks cutoff = std::min(scanFrom_, settled_);
    if (frame_) cutoff = std::min(cutoff, frame_->edge);
    if (cutoff < 2) return;
    cutoff -= 2;
    forEachStation([&](Station& s, unsigned) {
        while (!s.bytes.empty() && s.bytes.front().end <= cutoff && s.bytes.front().checked) s.bytes.pop_front();
        size_t keep = 0;  // the last change at or before the cutoff still says the state
        while (keep + 1 < s.enable.size() && s.enable[keep + 1].first <= cutoff) ++keep;
        s.enable.erase(s.enable.begin(), s.enable.begin() + keep);
    });
}

bool Bus::slice(Ticks target, Ticks longest) {
    if (!fault_.empty()) return false;
    if (!started_) {
        started_ = true;
        for (Station& s : nodes_) now_ = std::max(now_, s.node->now());
        settled_ = scanFrom_ = now_;
        for (Station& s : nodes_)
            if (s.node->resumed_ = false; s.node->now() < now_ && !s.node->runTo(now_)) {
                fault_ = s.node->fault();
                return false;
            }
    }
    // A byte that starts within the slice ends after it (lookahead); the one
    // being decoded is delivered at its end.
    Ticks span = std::min(maxSlice_, longest);
    if (wiring_ == Wiring::HalfDuplex) span = std::min(span, lookahead());
    Ticks next = target - now_ > span ? now_ + span : target;
    if (wiring_ == Wiring::HalfDuplex && frame_ && frame_->end > now_) next = std::min(next, frame_->end);
    if (!hostWire_.empty()) next = std::min(next, hostWire_.front().end);
    if (next <= now_) return true;
    const auto run = [&](unsigned i) {
        BusNode& n = *nodes_[i].node;
        n.resumed_ = untouched_;
        if (n.now() >= next || n.runTo(next)) return true;
        fault_ = name(i) + ": " + n.fault();
        report(fault_);
        return false;
    };
    if (lead_) {
        if (!run(*lead_)) return false;
        if (const Ticks held = nodes_[*lead_].node->now(); held < next) {
            leadStopped_ = true;
            next = held;
            if (next <= now_) return true;
        }
    }
    for (unsigned i = 0; i < nodes_.size(); ++i)
        if (!(lead_ && i == *lead_) && !run(i)) return false;
    now_ = next;
    delivered_ = false;
    settle(now_);
    deliverHostBytes();
    // Bytes that ended just now reach the receivers before anyone looks.
    if (delivered_)
        for (unsigned i = 0; i < nodes_.size(); ++i)
            if (nodes_[i].node->resumed_ = true; !nodes_[i].node->runTo(now_)) {
                fault_ = name(i) + ": " + nodes_[i].node->fault();
                report(fault_);
                return false;
            }
    untouched_ = true;
    return true;
}

bool Bus::runTo(Ticks t) {
    leadStopped_ = false;
    untouched_ = false;  // the caller may have changed anything since the last run
    while (now_ < t && !leadStopped_)
        if (!slice(t, kNever)) return false;
    return fault_.empty();
}

bool Bus::runUntil(const std::function<bool()>& cond, Ticks limit) {
    const Ticks deadline = now_ + limit;
    leadStopped_ = false;
    for (;;) {
        untouched_ = false;  // cond may have looked at (and so changed) a station
        if (cond()) break;
        if (now_ >= deadline || leadStopped_ || !slice(deadline, checkInterval_)) return false;
    }
    return true;
}

std::string Bus::runUntilReply(Ticks timeout) {
    const Ticks deadline = now_ + timeout;
    const size_t mark = hostRx_.size();
    const Ticks idle = 2 * charTime();
    leadStopped_ = false;
    untouched_ = false;
    for (;;) {
        if (leadStopped_) break;
        const bool replied = hostRx_.size() > mark;
        const Ticks quietAt = lastActivity_ + idle;
        if (replied && !hostSending() && !frame_ && now_ >= quietAt) break;
        if (now_ >= deadline) break;
        const Ticks target = replied && quietAt > now_ ? std::min(deadline, quietAt) : deadline;
        if (!slice(target, kNever)) break;
    }
    return hostText(mark);
}

}  // namespace sim
