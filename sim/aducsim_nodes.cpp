#include "aducsim_nodes.h"

#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "aduc702x.h"
#include "board/velmora_board.h"
#include "periph/flash_ee.h"
#include "vcd.h"

namespace aducsim {
namespace {

using sim::Ticks;

bool exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
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
void bootUp(sim::Machine& m, sim::Bus& bus, unsigned address) {
    const uint32_t ok = m.symbol("ProgramOk");
    if (!bus.runUntil([&] { return m.read32(ok) == 1; }, sim::fromMillis(1000)))
        throw std::runtime_error("node " + std::to_string(address) + " did not reach its command loop: " +
                                 (bus.fault().empty() ? "time-out" : bus.fault()));
}

class VelmoraLine : public Line {
public:
    explicit VelmoraLine(const Config& cfg) : cfg_(cfg) {
        std::string image = cfg.image.empty() ? VELMORA_ELF : cfg.image;
        for (unsigned addr : parseAddresses(cfg.nodesArg)) {
            auto n = std::make_unique<sim::VelmoraNode>();
            for (const auto& p : cfg.params) {
                std::string e = n->board.applyParam(p);
                if (!e.empty()) throw std::runtime_error("--param " + p + ": " + e);
            }
            std::string path = cfg.flashDir + "/velmora-" + std::to_string(addr) + ".flash";
            bool fresh = !exists(path);
            std::string err;
            auto& flash = n->machine.chip().flashEe();
            if (!fresh && !flash.loadFile(path, err)) throw std::runtime_error(err);
            try {
                n->machine.loadElf(image);
            } catch (const std::exception& e) {
                throw std::runtime_error(e.what());
            }
            checkImage(n->machine, image);
            n->machine.chip().onReport = [this, addr, m = &n->machine](const std::string& s) {
                cfg_.report("node " + std::to_string(addr) + " at " + at(m->now()) + ": " + s);
            };
            if (fresh) {
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
                n->machine.reset(sim::ResetCause::Software);
                cfg.log("prepared " + path + " for node " + std::to_string(addr));
            }
            if (!flash.setBackingFile(path, err)) throw std::runtime_error(err);
            if (!flash.flushBackingFile(err)) throw std::runtime_error(err);
            addresses_.push_back(addr);
            nodes_.push_back(std::move(n));
        }
        if (!cfg.vcdPath.empty()) {
            for (size_t i = 0; i < nodes_.size(); ++i) {
                std::string path = cfg.vcdPath;
                if (nodes_.size() > 1) {
                    auto dot = path.rfind(".vcd");
                    std::string suffix = "-" + std::to_string(addresses_[i]);
                    path = dot == std::string::npos ? path + suffix : path.substr(0, dot) + suffix + ".vcd";
                }
                auto w = std::make_unique<sim::VcdWriter>(path);
                if (!w->ok()) throw std::runtime_error("cannot write " + path);
                sim::traceChip(*w, nodes_[i]->machine.chip());
                supplyIds_.push_back(w->addSignal("HV_mV", 32));
                vcds_.push_back(std::move(w));
            }
        }
        bus_.onReport = [this](const std::string& s) { cfg_.report("bus at " + at(bus_.now()) + ": " + s); };
        for (auto& n : nodes_) bus_.addNode(n->station);
        for (size_t i = 0; i < nodes_.size(); ++i) bootUp(nodes_[i]->machine, bus_, addresses_[i]);
        std::string list;
        for (unsigned a : addresses_) list += (list.empty() ? "" : ",") + std::to_string(a);
        describe_ = "velmora node" + std::string(nodes_.size() > 1 ? "s " : " ") + list + " on a 9600 Bd bus";
    }

    std::string describe() const override { return describe_; }
    Ticks now() const override { return bus_.now(); }
    void hostSend(const std::string& bytes) override { bus_.hostSend(bytes); }
    bool runTo(Ticks t) override {
        bool ok = bus_.runTo(t);
        for (size_t i = 0; i < vcds_.size(); ++i)
            vcds_[i]->change(supplyIds_[i], uint64_t(std::max(0.0, nodes_[i]->board.outputVolts(bus_.now())) * 1000),
                             bus_.now());
        return ok;
    }
    std::string fault() const override { return bus_.fault(); }
    const std::vector<sim::LineByte>& hostReceived() const override { return bus_.hostReceived(); }
    void finish() override {
        for (auto& v : vcds_) v->finish(bus_.now());
        std::string err;
        for (auto& n : nodes_) n->machine.chip().flashEe().flushBackingFile(err);
    }

private:
    Config cfg_;
    std::vector<std::unique_ptr<sim::VelmoraNode>> nodes_;  // outlive the bus
    std::vector<unsigned> addresses_;
    std::vector<std::unique_ptr<sim::VcdWriter>> vcds_;
    std::vector<int> supplyIds_;
    sim::Bus bus_{9600};
    std::string describe_;
};

}  // namespace

std::unique_ptr<Line> makeLine(const Config& cfg) {
    if (cfg.kind == "velmora") return std::make_unique<VelmoraLine>(cfg);
    throw std::runtime_error("the " + cfg.kind + " node is not available in this simulator yet");
}

std::string describeParams(const std::string& kind) {
    if (kind == "velmora") return sim::VelmoraBoard::describeParams();
    return "no board parameters for " + kind + "\n";
}

}  // namespace aducsim
