// An ARM ELF image: its loadable segments and its symbol table (libelf).
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

class ElfImage {
public:
    struct Segment {
        uint32_t addr;  // load (physical) address
        std::vector<uint8_t> bytes;
    };
    struct Symbol {
        std::string name;
        uint32_t value;  // bit 0 set for Thumb functions
        uint32_t size;
        bool function;
    };

    // Throws SimError with a clear message.
    void load(const std::string& path);
    bool loaded() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    uint32_t entry() const { return entry_; }
    const std::vector<Segment>& segments() const { return segments_; }
    std::optional<uint32_t> find(const std::string& name) const;
    const Symbol* at(uint32_t addr) const;  // function or object containing addr
    std::string describe(uint32_t addr) const;
    const std::vector<Symbol>& symbols() const { return symbols_; }

private:
    std::string path_;
    uint32_t entry_ = 0;
    std::vector<Segment> segments_;
    std::vector<Symbol> symbols_;
    std::unordered_map<std::string, size_t> byName_;
    std::map<uint32_t, size_t> byAddr_;  // start (Thumb bit cleared) -> symbol
};

}  // namespace sim
