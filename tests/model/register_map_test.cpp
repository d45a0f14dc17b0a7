// The register header against the chip's register table, typed in again
// from the data sheet so that a wrong address in the header shows up here.
#include <gtest/gtest.h>

#include "aduc702x.h"

namespace {

struct Entry {
    const char* name;
    uint32_t header;
    uint32_t table;
};

TEST(RegisterMap, AddressesMatchTheChipsTable) {
    const Entry entries[] = {
        {"IRQSTA", IRQSTA.addr, 0xFFFF0000}, {"IRQEN", IRQEN.addr, 0xFFFF0008},
        {"IRQCLR", IRQCLR.addr, 0xFFFF000C}, {"FIQSTA", FIQSTA.addr, 0xFFFF0100},
        {"RSTSTA", RSTSTA.addr, 0xFFFF0230}, {"T0LD", T0LD.addr, 0xFFFF0300},
        {"T0CON", T0CON.addr, 0xFFFF0308},   {"T0CLRI", T0CLRI.addr, 0xFFFF030C},
        {"T1VAL", T1VAL.addr, 0xFFFF0324},   {"T1CON", T1CON.addr, 0xFFFF0328},
        {"T2LD", T2LD.addr, 0xFFFF0340},     {"T2VAL", T2VAL.addr, 0xFFFF0344},
        {"T2CON", T2CON.addr, 0xFFFF0348},   {"T2CLRI", T2CLRI.addr, 0xFFFF034C},
        {"T3LD", T3LD.addr, 0xFFFF0360},     {"T3CON", T3CON.addr, 0xFFFF0368},
        {"T3CLRI", T3CLRI.addr, 0xFFFF036C}, {"POWKEY1", POWKEY1.addr, 0xFFFF0404},
        {"POWCON", POWCON.addr, 0xFFFF0408}, {"POWKEY2", POWKEY2.addr, 0xFFFF040C},
        {"PLLKEY1", PLLKEY1.addr, 0xFFFF0410}, {"PLLCON", PLLCON.addr, 0xFFFF0414},
        {"PLLKEY2", PLLKEY2.addr, 0xFFFF0418}, {"REFCON", REFCON.addr, 0xFFFF048C},
        {"ADCCON", ADCCON.addr, 0xFFFF0500}, {"ADCCP", ADCCP.addr, 0xFFFF0504},
        {"ADCSTA", ADCSTA.addr, 0xFFFF050C}, {"ADCDAT", ADCDAT.addr, 0xFFFF0510},
        {"DAC0CON", DAC0CON.addr, 0xFFFF0600}, {"DAC0DAT", DAC0DAT.addr, 0xFFFF0604},
        {"DAC1CON", DAC1CON.addr, 0xFFFF0608}, {"DAC1DAT", DAC1DAT.addr, 0xFFFF060C},
        {"COMTX", COMTX.addr, 0xFFFF0700},   {"COMRX", COMRX.addr, 0xFFFF0700},
        {"COMDIV0", COMDIV0.addr, 0xFFFF0700}, {"COMDIV1", COMDIV1.addr, 0xFFFF0704},
        {"COMCON0", COMCON0.addr, 0xFFFF070C}, {"COMSTA0", COMSTA0.addr, 0xFFFF0714},
        {"COMDIV2", COMDIV2.addr, 0xFFFF072C}, {"GP1CON", GP1CON.addr, 0xFFFFF404},
        {"GP0DAT", GP0DAT.addr, 0xFFFFF420}, {"GP1DAT", GP1DAT.addr, 0xFFFFF430},
        {"GP4DAT", GP4DAT.addr, 0xFFFFF460}, {"FEESTA", FEESTA.addr, 0xFFFFF800},
        {"FEEMOD", FEEMOD.addr, 0xFFFFF804}, {"FEECON", FEECON.addr, 0xFFFFF808},
        {"FEEDAT", FEEDAT.addr, 0xFFFFF80C}, {"FEEADR", FEEADR.addr, 0xFFFFF810},
    };
    for (const Entry& e : entries) {
        EXPECT_EQ(e.header, e.table) << e.name;
        EXPECT_EQ(e.header % 4, 0u) << e.name << " must be word aligned";
    }
    EXPECT_EQ(MMR_BASE_0 + POWKEY1_OFFSET, 0xFFFF0404u);
    EXPECT_EQ(MMR_BASE_0 + POWCON_OFFSET, 0xFFFF0408u);
    EXPECT_EQ(MMR_BASE_0 + POWKEY2_OFFSET, 0xFFFF040Cu);
    // Interrupt bits the firmware writes to IRQEN and reads from IRQSTA.
    EXPECT_EQ(INT_TIMER0, 4u);
    EXPECT_EQ(INT_TIMER2, 0x10u);
}

}  // namespace
