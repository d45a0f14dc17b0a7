// Flash and RAM of each image, by module and by library routine, from the
// linker's map files, for the -Os build and (when given) an -O2 build of the
// same sources; then the choice between them: the smaller one, unless its
// regulation tick is worse than the other's.
//
// Usage: bench_firmware_size [fw dir of the -Os build] [fw dir of the -O2 build]
//   (default: the build's own firmware directory; no -O2 comparison)
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "elf_image.h"
#include "tick_cost.h"

namespace {

constexpr uint32_t kFlashGoal[2] = {8 * 1024, 4 * 1024};  // velmora, tavlo
constexpr uint32_t kRam = 8 * 1024;
constexpr uint32_t kRamGoal = kRam * 3 / 4;  // a quarter spare

struct Part {
    uint32_t code = 0, constants = 0, data = 0, bss = 0;
    uint32_t flash() const { return code + constants + data; }
};

struct Image {
    std::map<std::string, Part> modules;    // our sources
    std::map<std::string, Part> libraries;  // libgcc members
    uint32_t stacks = 0;
    bool ok = false;
    uint32_t flash() const {
        uint32_t n = 0;
        for (const auto& [k, p] : modules) n += p.flash();
        for (const auto& [k, p] : libraries) n += p.flash();
        return n;
    }
    uint32_t ram() const {
        uint32_t n = stacks;
        for (const auto* m : {&modules, &libraries})
            for (const auto& [k, p] : *m) n += p.data + p.bss;
        return n;
    }
};

// What each helper object of libgcc holds.
const char* libraryRole(const std::string& obj) {
    static const std::pair<const char*, const char*> roles[] = {
        {"addsubdf3", "soft-float double: add, subtract, conversions"},
        {"muldivdf3", "soft-float double: multiply, divide"},
        {"cmpdf2", "soft-float double: compare"},
        {"fixdfsi", "soft-float double: to int"},
        {"fixunsdfsi", "soft-float double: to unsigned"},
        {"truncdfsf2", "soft-float double: to float"},
        {"addsubsf3", "soft-float: add, subtract, int/float conversions"},
        {"muldivsf3", "soft-float: multiply, divide"},
        {"cmpsf2", "soft-float: compare"},
        {"fixsfsi", "soft-float: to int"},
        {"fixunssfsi", "soft-float: to unsigned"},
        {"udivsi3", "division: unsigned 32-bit"},
        {"divsi3", "division: signed 32-bit"},
        {"umodsi3", "division: unsigned remainder"},
        {"modsi3", "division: signed remainder"},
        {"dvmd", "division by zero trap"},
        {"aeabi_ldivmod", "division: 64-bit"},
        {"aeabi_uldivmod", "division: unsigned 64-bit"},
    };
    for (const auto& [key, role] : roles)
        if (obj.find(key) != std::string::npos) return role;
    return "helper";
}

// GNU ld map: input sections under the output sections .text (code and
// constants), .data and .bss, each with its size and object file.
Image readMap(const std::string& mapPath, const std::string& elfPath) {
    Image img;
    std::ifstream in(mapPath);
    if (!in) return img;
    std::string line, output, pendingSection;
    bool inMap = false;
    static const std::regex outputRe(R"(^(\.[A-Za-z_.]+)\s*(0x[0-9a-f]+)?.*)");
    static const std::regex inputRe(R"(^ (\.\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)\s*$)");
    static const std::regex nameOnlyRe(R"(^ (\.\S+)\s*$)");
    while (std::getline(in, line)) {
        if (!inMap) {
            inMap = line.find("Linker script and memory map") != std::string::npos;
            continue;
        }
        std::smatch m;
        if (!line.empty() && line[0] == '.' && std::regex_match(line, m, outputRe)) {
            output = m[1];
            pendingSection.clear();
            continue;
        }
        if (std::regex_match(line, m, nameOnlyRe)) {
            pendingSection = m[1];
            continue;
        }
        if (!std::regex_match(line, m, inputRe)) continue;
        const std::string section = m[1].matched ? std::string(m[1]) : pendingSection;
        pendingSection.clear();
        const uint32_t size = uint32_t(std::stoul(m[3], nullptr, 16));
        if (size == 0 || section.empty()) continue;
        std::string obj = m[4];
        const bool lib = obj.find(".a(") != std::string::npos;
        if (lib) {
            obj = obj.substr(obj.find('(') + 1);
            obj = obj.substr(0, obj.find(')'));
        } else {
            obj = obj.substr(obj.rfind('/') + 1);
            obj = obj.substr(0, obj.find('.'));
        }
        Part& p = (lib ? img.libraries : img.modules)[obj];
        if (output == ".text") {
            const bool constant = section.rfind(".rodata", 0) == 0;
            (constant ? p.constants : p.code) += size;
        } else if (output == ".data") {
            p.data += size;
        } else if (output == ".bss") {
            p.bss += size;
        }
    }
    sim::ElfImage elf;
    try {
        elf.load(elfPath);
        if (auto s = elf.find("__stacks_size")) img.stacks = *s;
    } catch (const std::exception&) {
    }
    img.ok = !img.modules.empty();
    return img;
}

void printImage(const char* name, const char* build, const Image& img, uint32_t flashGoal) {
    std::printf("%s %s: flash %u bytes (goal %u: %s), RAM %u bytes with %u of stacks (goal %u: %s)\n", name, build,
                img.flash(), flashGoal, img.flash() <= flashGoal ? "met" : "MISSED", img.ram(), img.stacks,
                kRamGoal, img.ram() <= kRamGoal ? "met" : "MISSED");
    std::printf("  %-36s %7s %7s %7s %7s %7s\n", "module", "code", "const", "data", "bss", "flash");
    std::vector<std::pair<std::string, Part>> rows(img.modules.begin(), img.modules.end());
    std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.second.flash() > b.second.flash(); });
    for (const auto& [k, p] : rows)
        std::printf("  %-36s %7u %7u %7u %7u %7u\n", k.c_str(), p.code, p.constants, p.data, p.bss, p.flash());
    std::map<std::string, uint32_t> byRole;
    for (const auto& [k, p] : img.libraries) {
        std::printf("  %-36s %7u %7u %7u %7u %7u  %s\n", ("libgcc " + k).c_str(), p.code, p.constants, p.data,
                    p.bss, p.flash(), libraryRole(k));
        std::string role = libraryRole(k);
        byRole[role.substr(0, role.find(':'))] += p.flash();
    }
    for (const auto& [role, n] : byRole) std::printf("  %-36s %39u\n", ("total " + role).c_str(), n);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string os = argc > 1 ? argv[1] : std::string(VELMORA_ELF).substr(0, std::string(VELMORA_ELF).rfind("/velmora/"));
    std::string o2 = argc > 2 ? argv[2] : "";
    const char* names[2] = {"velmora", "tavlo"};
    std::string machine = "BENCH firmware_size";
    Image chosen[2];
    for (int i = 0; i < 2; ++i) {
        auto path = [&](const std::string& dir, const char* ext) {
            return dir + "/" + names[i] + "/" + names[i] + ext;
        };
        const Image a = readMap(path(os, ".map"), path(os, ".elf"));
        if (!a.ok) {
            std::printf("%s: no map file under %s\n", names[i], os.c_str());
            return 1;
        }
        printImage(names[i], "-Os", a, kFlashGoal[i]);
        machine += " " + std::string(names[i]) + "_Os_flash=" + std::to_string(a.flash()) + " " + names[i] +
                   "_Os_ram=" + std::to_string(a.ram());
        chosen[i] = a;
        if (o2.empty()) continue;
        const Image b = readMap(path(o2, ".map"), path(o2, ".elf"));
        if (!b.ok) continue;
        printImage(names[i], "-O2", b, kFlashGoal[i]);
        machine += " " + std::string(names[i]) + "_O2_flash=" + std::to_string(b.flash());
        // The choice: the smaller build, unless the tick budget needs the
        // other (velmora only: tavlo has no interrupt).
        const bool smallerIsOs = a.flash() <= b.flash();
        std::string choice = smallerIsOs ? "-Os" : "-O2";
        if (i == 0) {
            const double tOs = tick_cost::measure(path(os, ".elf"), false).worstCycles;
            const double tO2 = tick_cost::measure(path(o2, ".elf"), false).worstCycles;
            const double budget = tick_cost::kFastTickCycles / 3.0;
            std::printf("velmora worst tick: -Os %.0f cycles, -O2 %.0f cycles (budget %.0f)\n", tOs, tO2, budget);
            const double tSmall = smallerIsOs ? tOs : tO2, tLarge = smallerIsOs ? tO2 : tOs;
            if (tSmall > budget && tLarge <= budget) choice = smallerIsOs ? "-O2" : "-Os";
            machine += " velmora_tick_Os=" + std::to_string(int(tOs)) + " velmora_tick_O2=" + std::to_string(int(tO2));
        }
        std::printf("%s: choose %s (flash %u with -Os, %u with -O2)\n\n", names[i], choice.c_str(), a.flash(), b.flash());
        machine += " " + std::string(names[i]) + "_choice=" + choice.substr(1);
    }
    std::printf("%s\n", machine.c_str());
}
