// A half-duplex multi-drop line (RS-485 style) shared by several nodes and one
// host, run in lock-step.
//
// Every station has its own virtual clock (each node its own Chip and
// scheduler), so the Bus advances them together in slices. A byte on the line
// reaches a receiver only when its stop bit has passed, so a byte that starts
// after the slice's start cannot reach anyone before one character of the
// fastest station has gone by: a slice runs up to that lookahead, or to the
// end of the byte being decoded, whichever comes first (and never beyond
// maxSlice, unlimited by default). After each slice every station stands at
// the same instant and the line up to there is final.
//
// The line: a station drives it only while its driver enable is on. A driver
// that is on and not sending drives the idle (mark) level. With no driver on,
// the bias resistors hold the line idle. When two drivers disagree, the
// differential voltage collapses and the fail-safe receivers read idle: the
// line is at space (0) only when every active driver sends a 0. Receivers
// decode the line like a UART (falling edge, sample each bit in its middle,
// 8N1), so a byte sent with the driver off never appears, a driver dropped
// mid-byte turns the remaining bits into ones, and overlapping senders give
// corrupted bytes. Two drivers on at once while a byte is being sent is a
// collision: recorded, reported, and every byte it touches is flagged.
//
// A byte whose stop bit reads as space reaches the receivers with a framing
// error, and one whose every bit does (the line held at space, as the
// host's hostBreak() holds it) as a break; receivers then wait for mark
// before they take the next falling edge as a start bit.
//
// Each decoded byte reaches every node's receiver at the byte's end (the end
// of its stop bit), except where that node's receiver was off: a transceiver
// whose receive enable is tied to its driver enable (the usual half-duplex
// wiring, and the default) reads idle (ones) while its own driver is on, so
// a node does not hear its own bytes, and a byte whose start bit it missed
// does not reach it at all. A station whose receiver is always enabled
// (hearsWhileDriving()) hears everything on the line, itself included. The
// host's receiver is off while the host drives, so hostReceived() holds only
// what others sent.
//
// A second wiring serves point-to-multipoint lines such as the readout units'
// 115200 Bd line (Wiring::FullDuplex): the host's transmitter feeds every
// node's receiver on a wire of its own, and the nodes' transmitters meet on
// the host's receive wire, where a node that is not sending holds the idle
// level and any node sending a 0 pulls the wire to space (wired-AND). There
// the host's bytes reach every node at their ends, nodes hear neither
// themselves nor each other, and two nodes sending at once is the collision.
// A node without a driver enable (ChipNode without one) drives all the time.
//
// Typical use (nodes: ChipNode adapters around booted Machines, or fakes):
//
//     sim::Bus bus;                       // 9600 Bd
//     bus.addNode(node1);  bus.addNode(node2);
//     bus.hostSend("H1\r");               // real byte timing, back to back
//     std::string reply = bus.runUntilReply(sim::fromMillis(100));  // "e=1808\r\n"
//     for (const sim::LineByte& b : bus.hostReceived()) ... b.value, b.start, b.end
//
// Runs are deterministic: the same stations and inputs give the same line
// record whatever maxSlice is.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/time.h"

namespace sim {

class Bus;

// One station's connection to the bus. Implementations: ChipNode (a
// simulated chip running firmware) and test fakes.
class BusNode {
public:
    BusNode() = default;
    BusNode(const BusNode&) = delete;
    BusNode& operator=(const BusNode&) = delete;
    // A station that goes away while on a bus stops that bus (a fault).
    virtual ~BusNode();
    virtual Ticks now() const = 0;
    // Advances this station's clock to t (not beyond), running whatever is
    // due at t; called again with the same t after the bus delivered bytes
    // at t. False on a fault, described by fault().
    virtual bool runTo(Ticks t) = 0;
    virtual std::string fault() const { return {}; }
    // Ticks of the shortest byte this station could start from now on (its
    // UART's present rate and format); 0 when it cannot tell, and the bus
    // takes its own rate. A station that switches to a faster rate and
    // sends within one character is delivered late, and the bus says so.
    virtual Ticks shortestByte() const { return 0; }
    // A byte decoded from the line reaches this station's receiver at `at`
    // (never earlier than now()); senderBaud is the rate it was sent at.
    virtual void receive(uint8_t value, double senderBaud, Ticks at) = 0;
    // A byte whose stop bit read as space: a framing error, or a break when
    // every bit of it did (the line held at space). A station that does not
    // model line errors takes the bits as a byte.
    virtual void receiveError(uint8_t value, double senderBaud, Ticks at, bool isBreak) {
        (void)isBreak;
        receive(value, senderBaud, at);
    }
    // The station's receiver stays enabled while its driver is on, so it
    // hears its own bytes. False (the default): receive enable follows the
    // driver enable.
    virtual bool hearsWhileDriving() const { return false; }

protected:
    // For implementations, in runTo: the bus ran this station before within
    // the same run and nothing but its deliveries (scheduled for the station
    // like any byte) reached the station since, so the station may go on
    // from where it stopped as if it had not stopped at all.
    bool resumed() const { return resumed_; }
    // For implementations: the station's UART starts sending a byte (start
    // bit at `start`, stop bit ending at `end`). Call it no later than `start`.
    void transmitted(uint8_t value, Ticks start, Ticks end);
    // The station's transceiver driver enable switched at t. A station may
    // switch it before it joins a bus: the bus starts from the latest state.
    void driverChanged(bool on, Ticks t);

private:
    friend class Bus;
    Bus* bus_ = nullptr;
    unsigned index_ = 0;
    bool driverOn_ = false;
    bool resumed_ = false;
};

// Station numbers in masks: node i is bit i, the host is bit kHostBit.
inline constexpr unsigned kHostBit = 31;
inline constexpr unsigned kMaxNodes = 31;

// One byte as the receivers decoded it from the line.
struct LineByte {
    uint8_t value = 0;
    Ticks start = 0;          // falling edge of the start bit
    Ticks end = 0;            // end of the stop bit: when receivers get it
    double baud = 0;          // rate of the station whose edge started it
    uint32_t drivers = 0;     // stations whose driver was on during the byte
    bool collision = false;   // a collision overlapped it
    bool framingError = false;  // stop bit read as 0
    bool isBreak = false;       // every bit read as 0: the line held at space
    bool fromHost() const { return (drivers >> kHostBit) & 1; }
    bool from(unsigned node) const { return (drivers >> node) & 1; }
};

// Two or more drivers on while a byte was being sent.
struct Collision {
    Ticks start = 0, end = 0;
    uint32_t drivers = 0;
};

// A byte whose driver enable was off at its start (it never reached the line)
// or went off before its end (its last bits are lost).
struct TxFault {
    unsigned node = 0;
    uint8_t value = 0;
    Ticks start = 0, end = 0;
    bool offAtStart = false;  // else: on at the start, off before the end
};

// How the stations share the line (see the top of this file).
enum class Wiring {
    HalfDuplex,  // one pair for all; every station hears every byte
    FullDuplex,  // host to all nodes on one wire, nodes to host on another
};

class Bus {
public:
    explicit Bus(double baud = 9600, Wiring wiring = Wiring::HalfDuplex);
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    ~Bus();

    // Adds a station; returns its index (its bit in LineByte::drivers).
    unsigned addNode(BusNode& node);
    size_t nodeCount() const { return nodes_.size(); }

    double baud() const { return baud_; }
    Wiring wiring() const { return wiring_; }
    // Ticks of one 10-bit character at the bus rate.
    Ticks charTime() const;
    // Longest slice the stations run on their own. On a half-duplex bus,
    // which must deliver every node's byte to the others at its end, slices
    // are bounded by the lookahead (one character of the fastest station) and
    // no more by default; on a full-duplex line, where only the host's bytes
    // reach the nodes and they bound the slices themselves, ten characters.
    // runUntil() looks at its condition at least every checkInterval() (a
    // quarter character on a half-duplex bus), and setMaxSlice sets that too.
    void setMaxSlice(Ticks t) { maxSlice_ = checkInterval_ = t ? t : 1; }
    Ticks checkInterval() const { return checkInterval_; }
    // The longest slice that keeps every delivery on time (see above).
    Ticks lookahead() const;
    // The station a debugger holds: every slice runs it first, and where it
    // stops short of the slice's end (a breakpoint, a watchpoint) the other
    // stations run only that far and the run returns, so the whole line
    // stands still with it.
    void setLead(unsigned index) { lead_ = index; }
    // The lead station stopped short in the last run.
    bool leadStopped() const { return leadStopped_; }
    Ticks now() const { return now_; }

    // ---- Host end ----
    void setHostBaud(double baud) { hostBaud_ = baud; }
    double hostBaud() const { return hostBaud_; }
    // Queues bytes, 8N1 back to back, after anything the host still has queued
    // and not before now(). Returns when the last one will have been sent.
    Ticks hostSend(std::string_view bytes);
    Ticks hostSendAt(Ticks start, std::string_view bytes);
    // Holds the line at space for `duration` after anything queued (a
    // break), then at mark for one bit; receivers see it as one byte with a
    // break. Returns the end of the space.
    Ticks hostBreak(Ticks duration);
    bool hostSending() const { return now_ < hostIdleAt_; }
    // Bytes the host received (everything on the line it did not send).
    const std::vector<LineByte>& hostReceived() const { return hostRx_; }
    std::string hostText(size_t from = 0) const;
    void clearHostReceived() { hostRx_.clear(); }

    // ---- Running: all stations in lock-step ----
    bool runFor(Ticks d) { return runTo(now_ + d); }
    bool runTo(Ticks t);
    // Until cond() holds (checked after every slice, slices no longer than
    // checkInterval()) or limit has passed.
    // False on a fault or when the limit ran out.
    bool runUntil(const std::function<bool()>& cond, Ticks limit);
    // Waits for the host's queued bytes to go out, then for a reply: returns
    // once the host has received something and the line has been idle for
    // two characters, or when the timeout (from now) runs out. Returns the
    // bytes received in that time (empty: no reply).
    std::string runUntilReply(Ticks timeout);

    // ---- Records ----
    // Every decoded byte; on a full-duplex line the host's bytes too, as
    // they reach the nodes.
    const std::vector<LineByte>& line() const { return line_; }
    const std::vector<Collision>& collisions() const { return collisions_; }
    const std::vector<TxFault>& txFaults() const { return txFaults_; }
    // Human-readable reports of collisions, driver faults and late deliveries.
    const std::vector<std::string>& reports() const { return reports_; }
    // Called within a run: it must leave the stations alone (see
    // BusNode::resumed).
    std::function<void(const std::string&)> onReport;
    // How reports name node i (default "node i", counted from 0).
    std::function<std::string(unsigned)> nodeName;
    // The first station fault, if any; a fault stops every run.
    const std::string& fault() const { return fault_; }
    // When the line was last busy (end of the last decoded byte).
    Ticks lastActivity() const { return lastActivity_; }
    // A byte has started on the line and not yet ended.
    bool frameInProgress() const { return frame_.has_value(); }

private:
    friend class BusNode;
    struct Tx {
        uint8_t value;
        Ticks start, end;
        bool checked = false;
        bool isBreak = false;  // space from start to end, no bit cells
    };
    struct Station {
        BusNode* node = nullptr;  // null for the host
        std::vector<std::pair<Ticks, bool>> enable;  // driver enable changes, in time order
        std::deque<Tx> bytes;                        // in start order
        bool enabledAt(Ticks t) const;
        // Level driven at t if the driver is on: 0 or 1 (idle 1).
        int bitAt(Ticks t, const Tx** in = nullptr) const;
    };

    void nodeTransmitted(unsigned i, uint8_t value, Ticks start, Ticks end);
    void nodeDriverChanged(unsigned i, bool on, Ticks t);
    void nodeGone(unsigned i);
    Station& station(unsigned bit) { return bit == kHostBit ? host_ : nodes_[bit]; }
    template <class F> void forEachStation(F f);

    bool slice(Ticks target, Ticks longest);  // one lock-step slice towards target
    void settle(Ticks horizon);  // decode the line up to horizon
    // Line level at t (0 space, 1 mark) and the stations driving at t.
    int levelAt(Ticks t, uint32_t* active = nullptr);
    void breakpoints(Ticks from, Ticks to, std::vector<Ticks>& out);
    void findCollisions(Ticks from, Ticks to);
    void checkTransmissions(Ticks horizon);
    void completeFrame();
    void prune();
    void report(std::string what);
    std::string name(unsigned i) const;
    std::string who(uint32_t mask) const;
    void deliverHostBytes();  // full duplex: the host's bytes that have ended

    // Nothing but the bus has run since the stations last ran (see
    // BusNode::resumed): no caller's code between two slices.
    bool untouched_ = false;
    std::optional<unsigned> lead_;
    bool leadStopped_ = false;
    double baud_;
    Wiring wiring_;
    double hostBaud_;
    Ticks maxSlice_;
    Ticks checkInterval_;
    Ticks now_ = 0;
    bool started_ = false;
    std::vector<Station> nodes_;
    Station host_;
    Ticks hostIdleAt_ = 0;
    std::deque<Tx> hostWire_;  // full duplex: host bytes not yet at the nodes

    // Decoder: where the search for the next start edge resumes, and the frame in progress.
    Ticks scanFrom_ = 0;
    Ticks settled_ = 0;  // the line is final before this time
    struct Frame {
        Ticks edge;
        double bitTicks;
        double baud;
        Ticks end;
    };
    std::optional<Frame> frame_;
    Ticks lastActivity_ = 0;
    bool delivered_ = false;

    std::vector<LineByte> line_;
    std::vector<LineByte> hostRx_;
    std::vector<Collision> collisions_;
    std::vector<TxFault> txFaults_;
    std::vector<std::string> reports_;
    std::string fault_;
};

}  // namespace sim
