#include "aducsim_nodes.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "aduc702x.h"
#include "board/readout_board.h"
#include "board/velmora_board.h"
#include "chip/periph/flash_ee.h"
#include "debug/vcd.h"

namespace aducsim {
namespace {

using sim::Ticks;

bool exists(const std::string& p) {
    struct stat st;
    if (stat(p.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) throw std::runtime_error(p + ": not a regular file, cannot hold a node's flash");
    return true;
}

// Loads the image and checks that it is the firmware of the node kind asked
// for, by a symbol only that firmware has.
void loadImage(sim::Machine& m, const std::string& path, const char* kind, const char* symbol) {
    m.loadElf(path);
    if (!m.findSymbol(symbol))
        throw std::runtime_error(path + ": not a " + kind + " image (it has no '" + symbol + "')");
}

std::string at(Ticks t) {
    char b[32];
    std::snprintf(b, sizeof b, "%.6f s", sim::toSeconds(t));
    return b;
}

// The parameter store owns flash from offset 0xF000: an image must end below.
void checkImage(const sim::Machine& m, const std::string& path) {
    for (const auto& seg : m.image().segments())
        if (seg.addr + seg.bytes.size() > FLASH_BASE + 0xF000)
            throw std::runtime_error(path + ": the image reaches the parameter-store pages at flash offset 0xF000");
}

// The parameter store's two pages at the top of the code flash (the
// firmware's layout, not the chip's).
constexpr uint32_t kStoreOffset = 0xF000;
constexpr uint32_t kStoreBytes = 2 * FLASH_PAGE_SIZE;

bool storeErased(const uint8_t* flash) {
    for (uint32_t i = kStoreOffset; i < kStoreOffset + kStoreBytes; ++i)
        if (flash[i] != 0xFF) return false;
    return true;
}

// As a download to the chip does it: every page the image touches is erased
// (512-byte pages, data sheet ADuC7019/20/21/22/24/25/26/27/28/29 p. 37),
// then programmed; the other pages keep what they hold.
void programImage(sim::Machine& m) {
    uint8_t* f = m.chip().flash();
    for (const auto& seg : m.image().segments()) {
        if (seg.bytes.empty()) continue;
        const uint32_t from = (seg.addr - FLASH_BASE) & ~(FLASH_PAGE_SIZE - 1);
        const uint32_t to = seg.addr - FLASH_BASE + uint32_t(seg.bytes.size());
        for (uint32_t page = from; page < to; page += FLASH_PAGE_SIZE) std::memset(f + page, 0xFF, FLASH_PAGE_SIZE);
    }
    for (const auto& seg : m.image().segments())
        std::memcpy(f + (seg.addr - FLASH_BASE), seg.bytes.data(), seg.bytes.size());
}

// FILE.vcd for one node; FILE-ID.vcd each when there are several.
std::string vcdPath(const std::string& path, unsigned id, size_t count) {
    if (count <= 1) return path;
    const auto dot = path.rfind(".vcd");
    const std::string suffix = "-" + std::to_string(id);
    return dot == std::string::npos ? path + suffix : path.substr(0, dot) + suffix + ".vcd";
}

// The chip reports undefined instructions and SWIs itself; an FIQ is the
// other exception neither firmware expects.
void watchExceptions(sim::Machine& m) {
    m.onException = [&m](uint32_t vector, sim::Mode) {
        if (vector == 0x1C) m.chip().report("FIQ taken at " + m.describe(m.pc()));
    };
}

std::vector<unsigned> parseAddresses(const std::string& arg) {
    std::vector<unsigned> out;
    std::stringstream ss(arg.empty() ? "1" : arg);
    std::string item;
    while (std::getline(ss, item, ',')) {
        char* end = nullptr;
        long v = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end || v < 1 || v > 252)
            throw std::runtime_error("--nodes takes node addresses from 1 to 252, separated by commas: '" + arg + "'");
        for (unsigned a : out)
            if (a == unsigned(v)) throw std::runtime_error("--nodes names address " + item + " twice");
        out.push_back(unsigned(v));
    }
    if (out.size() > sim::kMaxNodes) throw std::runtime_error("--nodes: at most 31 nodes on one line");
    return out;
}

// Runs until the command loop cycles (it stores 1 in ProgramOk every pass).
// RAM outlives a reset: a 1 left from before the reset must not count.
void bootUp(sim::Machine& m, sim::Bus& bus, unsigned address) {
    const uint32_t ok = m.symbol("ProgramOk");
    m.write32(ok, 2);
    if (!bus.runUntil([&] { return m.read32(ok) == 1; }, sim::fromMillis(1000)))
        throw std::runtime_error("node " + std::to_string(address) + " did not reach its command loop: " +
                                 (bus.fault().empty() ? "time-out" : bus.fault()));
}

// What both node kinds share: the nodes, their VCD dumps, and the line that
// joins them to the host, where the host's calls go.
template <class Node>
class NodeLine : public Line {
public:
    std::string describe() const override { return describe_; }
    Ticks now() const override { return bus_.now(); }
    Ticks charTime() const override { return bus_.charTime(); }
    Ticks hostSend(const std::string& bytes) override { return bus_.hostSend(bytes); }
    Ticks hostBreak(Ticks duration) override { return bus_.hostBreak(duration); }
    void setHostBaud(double baud) override { bus_.setHostBaud(baud); }
    std::string fault() const override { return bus_.fault(); }
    const std::vector<sim::LineByte>& hostReceived() const override { return bus_.hostReceived(); }
    void finish() override {
        for (auto& v : vcds_) v->finish(bus_.now());
    }
    size_t nodeCount() const override { return nodes_.size(); }
    sim::Machine& machine(size_t i) override { return nodes_.at(i)->machine; }

protected:
    NodeLine(const Config& cfg, unsigned baud, sim::Wiring wiring) : cfg_(cfg), bus_(baud, wiring) {}

    std::string nodeLabel(size_t i) const { return "node " + std::to_string(nodeName(i)); }

    // The chip's reports, led by the node's present name and the time.
    void forwardReports(size_t index, sim::Machine& m) {
        m.chip().onReport = [this, index, mp = &m](const std::string& s) {
            cfg_.report(nodeLabel(index) + " at " + at(mp->now()) + ": " + s);
        };
    }

    // A VCD file for node id of count.
    std::unique_ptr<sim::VcdWriter> openVcd(unsigned id, size_t count) const {
        const std::string path = vcdPath(cfg_.vcdPath, id, count);
        auto w = std::make_unique<sim::VcdWriter>(path);
        if (!w->ok()) throw std::runtime_error("cannot write " + path);
        return w;
    }

    // Puts every node on the line; what goes wrong there is reported as the
    // line's (what: "bus" or "line").
    void joinLine(const char* what) {
        bus_.onReport = [this, what](const std::string& s) {
            cfg_.report(std::string(what) + " at " + at(bus_.now()) + ": " + s);
        };
        bus_.nodeName = [this](unsigned i) { return nodeLabel(i); };
        for (auto& n : nodes_) bus_.addNode(n->station);
    }

    Config cfg_;
    std::vector<std::unique_ptr<Node>> nodes_;  // outlive the bus
    std::vector<std::unique_ptr<sim::VcdWriter>> vcds_;
    sim::Bus bus_;
    std::string describe_;
};

class VelmoraLine : public NodeLine<sim::VelmoraNode> {
public:
    explicit VelmoraLine(const Config& cfg) : NodeLine(cfg, 9600, sim::Wiring::HalfDuplex) {
        std::string image = cfg.image.empty() ? VELMORA_ELF : cfg.image;
        const std::vector<unsigned> wanted = parseAddresses(cfg.nodesArg);
        std::vector<bool> flashed, storeWasErased;
        for (unsigned addr : wanted) {
            auto n = std::make_unique<sim::VelmoraNode>();
            for (const auto& p : cfg.params) {
                std::string e = n->board.applyParam(p);
                if (!e.empty()) throw std::runtime_error("--param " + p + ": " + e);
            }
            const size_t index = nodes_.size();
            if (!cfg.vcdPath.empty()) {
                // From power-on, so a first boot is in the dump too.
                auto w = openVcd(addr, wanted.size());
                supplyIds_.push_back(w->addSignal("HV_mV", 32));
                sim::traceChip(*w, n->machine.chip());
                w->change(supplyIds_.back(), 0, n->machine.now());
                vcds_.push_back(std::move(w));
            }
            std::string path = cfg.flashDir + "/velmora-" + std::to_string(addr) + ".flash";
            const bool haveFile = exists(path);
            std::string err;
            auto& flash = n->machine.chip().flashEe();
            loadImage(n->machine, image, "velmora", "ProgramOk");
            checkImage(n->machine, image);
            uint8_t* f = n->machine.chip().flash();
            bool changed = false;
            if (haveFile) {
                // The file is the chip's flash: its code pages are
                // reprogrammed with the image, its parameter store kept.
                if (!flash.loadFile(path, err)) throw std::runtime_error(err);
                const std::vector<uint8_t> before(f, f + kStoreOffset);
                programImage(n->machine);
                changed = std::memcmp(before.data(), f, kStoreOffset) != 0;
            }
            if (cfg.eraseStore) std::memset(f + kStoreOffset, 0xFF, kStoreBytes);
            const bool firstBoot = storeErased(f);
            flashed.push_back(changed);
            storeWasErased.push_back(firstBoot);
            names_.push_back(addr);
            forwardReports(index, n->machine);
            watchExceptions(n->machine);
            if (firstBoot) {
                // A new node: let the firmware write its defaults, then give it
                // its address through the bus as an operator would.
                sim::Bus own;
                own.addNode(n->station);
                bootUp(n->machine, own, addr);
                own.hostSend("A253 " + std::to_string(addr) + "\r");
                std::string reply = own.runUntilReply(sim::fromMillis(300));
                if (reply != std::to_string(addr) + "\r\n")
                    throw std::runtime_error("node " + std::to_string(addr) + " did not take its address (answered '" +
                                             reply + "')");
                // Then off and on again, as a bench would hand over a board
                // it has just set up: a power-on reset stops the watchdog the
                // first boot started, so the node boots as from cold.
                n->machine.powerOn();
                cfg.log("prepared " + path + " for node " + std::to_string(addr) +
                        (haveFile ? " (its parameter store was erased)" : ""));
            }
            if (!flash.saveFile(path, err) || !flash.setBackingFile(path, err)) throw std::runtime_error(err);
            files_.push_back(path);
            nodes_.push_back(std::move(n));
        }
        joinLine("bus");
        for (size_t i = 0; i < nodes_.size(); ++i) bootUp(nodes_[i]->machine, bus_, wanted[i]);
        std::string list;
        for (size_t i = 0; i < nodes_.size(); ++i) {
            // A node keeps the address in its flash, as a real one does,
            // also after 'A' gave it another than its file's name.
            const unsigned actual = nodes_[i]->machine.readSym("MyAddress") & 0xFF;
            for (size_t j = 0; j < i; ++j)
                if (names_[j] == actual)
                    throw std::runtime_error(files_[j] + " and " + files_[i] + " both hold node address " +
                                             std::to_string(actual) +
                                             ": two nodes cannot share an address on one bus (remove one file or "
                                             "give it another address with 'A' when it runs alone)");
            names_[i] = actual;
            if (actual != wanted[i])
                cfg.log("node " + std::to_string(actual) + " (velmora-" + std::to_string(wanted[i]) +
                        ".flash) answers at its stored address " + std::to_string(actual));
            if (flashed[i])
                cfg.report("node " + std::to_string(actual) + ": new image flashed, parameter store " +
                           (storeWasErased[i] ? "erased (first boot)" : "kept"));
            list += (list.empty() ? "" : ",") + std::to_string(actual);
        }
        describe_ = "velmora node" + std::string(nodes_.size() > 1 ? "s " : " ") + list + " on a 9600 Bd bus";
    }

    bool runTo(Ticks t) override {
        bool ok = bus_.runTo(t);
        for (size_t i = 0; i < vcds_.size(); ++i)
            vcds_[i]->change(supplyIds_[i], uint64_t(std::max(0.0, nodes_[i]->board.outputVolts(bus_.now())) * 1000),
                             bus_.now());
        return ok;
    }
    void finish() override {
        NodeLine::finish();
        std::string err;
        for (auto& n : nodes_) n->machine.chip().flashEe().flushBackingFile(err);
    }

    std::optional<size_t> findNode(unsigned name) const override {
        for (size_t i = 0; i < nodes_.size(); ++i)
            if (nodeName(i) == name) return i;
        return std::nullopt;
    }
    // The address the node answers at now: 'A' may have changed it. While
    // start-up has not loaded it yet (RAM still holds the power-on pattern
    // or zeros), the one it had before.
    unsigned nodeName(size_t i) const override {
        sim::Machine& m = nodes_.at(i)->machine;
        const unsigned a = m.read32(m.symbol("MyAddress")) & 0xFF;
        if (m.read32(m.symbol("ProgramOk")) <= 1 && a >= 1 && a <= 252) names_[i] = a;
        return names_[i];
    }
    void setLead(size_t i) override { bus_.setLead(unsigned(i)); }
    void eraseStore(size_t i) override {
        std::memset(nodes_.at(i)->machine.chip().flash() + kStoreOffset, 0xFF, kStoreBytes);
        std::string err;
        if (!nodes_[i]->machine.chip().flashEe().flushBackingFile(err)) throw std::runtime_error(err);
    }

private:
    mutable std::vector<unsigned> names_;
    std::vector<std::string> files_;
    std::vector<int> supplyIds_;
};

unsigned parseCount(const std::string& arg) {
    if (arg.empty()) return 1;
    char* end = nullptr;
    long v = std::strtol(arg.c_str(), &end, 10);
    if (*end || v < 1 || v > long(sim::kMaxNodes))
        throw std::runtime_error("--nodes takes the number of readout units, 1 to " + std::to_string(sim::kMaxNodes) +
                                 ": '" + arg + "'");
    return unsigned(v);
}

// Readout units on one 115200 Bd line: the host's transmit wire reaches every
// unit, the units' transmitters meet on the host's receive wire.
class TavloLine : public NodeLine<sim::ReadoutNode> {
public:
    explicit TavloLine(const Config& cfg) : NodeLine(cfg, 115200, sim::Wiring::FullDuplex) {
        const std::string image = cfg.image.empty() ? TAVLO_ELF : cfg.image;
        const unsigned count = parseCount(cfg.nodesArg);
        sim::ReadoutBoard probe;  // checks the parameters before anything runs
        for (const auto& p : cfg.params) {
            std::string e = probe.applyParam(p);
            if (!e.empty()) throw std::runtime_error("--param " + p + ": " + e);
        }
        for (unsigned k = 1; k <= count; ++k) {
            auto u = std::make_unique<sim::ReadoutNode>();
            sim::ReadoutParams p = probe.params();
            p.seed += k - 1;  // each unit its own noise
            u->board.setParams(p);
            loadImage(u->machine, image, "tavlo", "IamSelected");
            u->machine.powerOn();
            forwardReports(k - 1, u->machine);
            watchExceptions(u->machine);
            nodes_.push_back(std::move(u));
        }
        if (!cfg.vcdPath.empty())
            for (unsigned k = 1; k <= count; ++k) {
                auto w = openVcd(k, count);
                sim::traceChip(*w, nodes_[k - 1]->machine.chip());
                vcds_.push_back(std::move(w));
            }
        joinLine("line");
        for (unsigned k = 1; k <= count; ++k) {
            sim::Machine& m = nodes_[k - 1]->machine;
            if (!bus_.runUntil([&] { return waiting(m); }, sim::fromMillis(200)))
                throw std::runtime_error("node " + std::to_string(k) + " did not reach its command loop: " +
                                         (bus_.fault().empty() ? "time-out" : bus_.fault()));
            giveAddress(k, "after start-up (a simulator convenience; the firmware fixes it at 1)");
        }
        describe_ = std::to_string(count) + " tavlo unit" + (count > 1 ? "s (addresses 1.." + std::to_string(count) + ")"
                                                                      : " (address 1)") +
                    " on a 115200 Bd line";
    }

    bool runTo(Ticks t) override {
        const bool ok = bus_.runTo(t);
        // The debugged unit restarted with the firmware's address 1: once
        // it waits for commands again it gets its own back.
        const unsigned k = unsigned(lead_ + 1);
        if (k > 1 && waiting(nodes_[lead_]->machine) && nodes_[lead_]->machine.readSym("MyAddress") != k)
            giveAddress(k, "after its restart");
        return ok;
    }
    std::optional<size_t> findNode(unsigned name) const override {
        if (name >= 1 && name <= nodes_.size()) return name - 1;
        return std::nullopt;
    }
    unsigned nodeName(size_t i) const override { return unsigned(i + 1); }
    void setLead(size_t i) override {
        lead_ = i;
        bus_.setLead(unsigned(i));
    }

private:
    // Start-up ends in the command loop, which waits in getchar.
    static bool waiting(sim::Machine& m) { return m.describe(m.pc()).find("(getchar") != std::string::npos; }
    // Every unit's firmware sets MyAddress to 1. So that several units can
    // be told apart here, unit k (k > 1) gets address k.
    void giveAddress(unsigned k, const std::string& when) {
        if (k < 2) return;
        nodes_[k - 1]->machine.writeSym("MyAddress", k);
        cfg_.log("node " + std::to_string(k) + ": MyAddress set to " + std::to_string(k) + " " + when);
    }

    size_t lead_ = 0;
};

}  // namespace

std::unique_ptr<Line> makeLine(const Config& cfg) {
    if (cfg.kind == "velmora") return std::make_unique<VelmoraLine>(cfg);
    if (cfg.kind == "tavlo") return std::make_unique<TavloLine>(cfg);
    throw std::runtime_error("unknown node kind '" + cfg.kind + "'");
}

std::string describeParams(const std::string& kind) {
    if (kind == "velmora") return sim::VelmoraBoard::describeParams();
    return sim::ReadoutBoard::describeParams();
}

}  // namespace aducsim
