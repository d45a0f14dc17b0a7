// The formatter of both images, called inside each image with a format
// written into RAM; its output is what leaves the UART.
#include <gtest/gtest.h>

#include <variant>

#include "aduc702x.h"
#include "support/node.h"

using namespace nodetest;
using sim::fromMillis;

namespace {

// An argument word, or a string placed in RAM and passed by address.
using Arg = std::variant<uint32_t, std::string>;

struct Case {
    std::string format;  // NUL-terminated when written; may hold NULs itself
    std::vector<Arg> args;
    std::string out;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        // Plain text and line ends: every LF becomes CR LF, CR stays.
        {"abc", {}, "abc"},
        {"a\nb", {}, "a\r\nb"},
        {"\n\r", {}, "\r\n\r"},
        {"", {}, ""},
        // Unsigned, signed and hexadecimal fields.
        {"%u", {0u}, "0"},
        {"%u", {4294967295u}, "4294967295"},
        {"%U", {42u}, "42"},
        {"%u", {uint32_t(-1)}, "4294967295"},
        {"%x", {255u}, "FF"},
        {"%X", {0x0ABCDEF0u}, "ABCDEF0"},
        {"%x", {uint32_t(-1)}, "FFFFFFFF"},
        {"%x", {0u}, "0"},
        {"%d", {0x80000000u}, "-2147483648"},
        {"%i", {2147483647u}, "2147483647"},
        {"%D", {uint32_t(-7)}, "-7"},
        {"%I", {7u}, "7"},
        // Flags and widths: the pad goes between the sign and the digits.
        {"%05d", {uint32_t(-42)}, "-00042"},
        {"% 5d", {uint32_t(-42)}, "-   42"},
        {"% 2u", {5u}, " 5"},
        {"% 2u", {123u}, "123"},
        {"% 4u", {0u}, "   0"},
        {"%09u", {0u}, "000000000"},
        {"%04x", {0xAu}, "000A"},
        {"% 9u", {4294967295u}, "4294967295"},
        {"%00u", {7u}, "7"},
        {"%0u", {7u}, "7"},
        // One width digit only; a digit without a flag is a conversion.
        {"% 12u%u", {9u}, "2u9"},
        {"%5u%u", {9u}, "5u9"},
        {"%-5d%u", {9u}, "-5d9"},
        // Length letters.
        {"%lu", {7u}, "7"},
        {"%Lx", {255u}, "FF"},
        {"%llu%u", {9u}, "lu9"},
        {"% 3lu", {7u}, "  7"},
        // Characters and strings ignore flag and width.
        {"%%", {}, "%"},
        {"%05%%u", {3u}, "%3"},
        {"%c", {0x141u}, "A"},
        {"%C", {10u}, "\r\n"},
        {"% 3c", {uint32_t('x')}, "x"},
        {"%s", {std::string("a\nb")}, "a\r\nb"},
        {"%S", {std::string("")}, ""},
        {"<%05s>", {std::string("ab")}, "<ab>"},
        {"%5s%u", {9u}, "5s9"},
        {"%q", {}, "q"},
        // Arguments are taken in order, one word each.
        {"%u-%c-%s", {1u, uint32_t('x'), std::string("yz")}, "1-x-yz"},
        {"ADC[%i]=%u\n\r", {2u, 4095u}, "ADC[2]=4095\r\n\r"},
        {"Temperature=%i\n\r", {uint32_t(-10)}, "Temperature=-10\r\n\r"},
        {"e=%u\n", {1808u}, "e=1808\r\n"},
        // A format that ends inside a conversion: what came before is
        // printed, the unfinished part is not, and nothing after its NUL is
        // read.
        {std::string("X%\0Q%u", 6), {5u}, "X"},
        {std::string("X% \0Q", 5), {}, "X"},
        {std::string("X%0\0Q", 5), {}, "X"},
        {std::string("X% 5\0Q", 6), {}, "X"},
        {std::string("X%l\0Q", 5), {}, "X"},
        {std::string("X%05l\0Q", 7), {}, "X"},
    };
    return all;
}

// Start-up, then the line set up by the image itself (which binds putchar).
void setUp(Node& n, bool velmora) {
    n.startUp();
    if (velmora) n.setReg(GP0DAT.addr, 0x80000000);
    n.m.call("InitSerial");
}

void runTable(Node& n) {
    for (const Case& c : cases()) {
        SCOPED_TRACE("format \"" + c.format + "\"");
        n.tx.clear();
        const uint32_t fmt = kScratch;
        n.poke(fmt, c.format + std::string(1, '\0'));
        uint32_t strings = kScratch + 0x100;
        std::vector<uint32_t> words;
        for (const Arg& a : c.args) {
            if (const auto* w = std::get_if<uint32_t>(&a)) {
                words.push_back(*w);
            } else {
                const std::string& s = std::get<std::string>(a);
                n.poke(strings, s + std::string(1, '\0'));
                words.push_back(strings);
                strings += 0x20;
            }
        }
        ASSERT_LE(words.size(), 3u);
        words.resize(3, 0xA5A5A5A5);
        n.m.call("rprintf", {fmt, words[0], words[1], words[2]});
        n.drain();
        EXPECT_EQ(n.text(), c.out);
    }
}

TEST(VelmoraRprintf, Grammar) {
    Node n(VELMORA_ELF);
    setUp(n, true);
    runTable(n);
}

// Built again for the other node (Thumb code there): same behaviour.
TEST(TavloRprintf, Grammar) {
    Node n(TAVLO_ELF);
    setUp(n, false);
    runTable(n);
}

TEST(VelmoraRprintf, SaysNothingBeforeTheLineIsSetUp) {
    Node n(VELMORA_ELF);
    n.startUp();
    const unsigned resets = n.m.resets();
    n.poke(kScratch, std::string("x\n", 3));
    n.m.call("rprintf", {kScratch});
    n.m.runFor(fromMillis(2));
    EXPECT_EQ(n.m.resets(), resets);  // not jumped through the empty output
    EXPECT_TRUE(n.tx.empty());
}

}  // namespace
