// Parameter store on two flash pages.
//
// Page layout: status halfword, reserved halfword (never written), then 127
// records of (data halfword, virtual-address halfword); a record is empty when
// both read 0xFFFF. The newest record of an address holds its value.
//
// Programming only clears bits, and a reset can stop any program part-way
// (some of the bits cleared) or any erase part-way (anything at all). So the
// page status climbs down one chain of values, each reachable from the one
// before by clearing bits, and every part-way value between two steps is read
// as one of them:
//
//   0xFFFF  erased
//   0xA5FF  receiving   a transfer is copying the variables in
//   0xA50F  copied      copy complete: this page wins, the other is void
//   0xA506  valid       (the other page has been erased)
//   0x0006  valid       final value, the stored format's "6"
//
// A transfer erases the full page only once the new one is marked copied, so
// whatever a cut erase leaves lies next to a page that says it is void. The
// only other erases are of pages no read looks at (an older store's page
// marked 5, a page of unknown contents next to the valid one, a non-blank
// page before a format). Records are written data first, and the address so
// that no part-way value is a variable's. Pages of the older format (5
// receiving, 6 valid) are read as before; EE_Recover turns every state a
// reset can leave into a clean one.
#include "EEPROM.h"

#include "aduc702x.h"

namespace {

constexpr u16 kPage0 = 0xF000;
constexpr u16 kPage1 = 0xF200;
constexpr u16 kPageSize = 0x200;
constexpr u16 kFirstRecord = 4;     // after the status and reserved halfwords
constexpr u16 kLastAddress = 0x1FE;  // virtual-address halfword of record 126
constexpr u16 kErased = 0xFFFF;
constexpr u16 kNoPage = 0;
constexpr u16 kVariables[] = {0, 2, 4, 6};

constexpr u16 kStatusReceiving = 0xA5FF;
constexpr u16 kStatusCopied = 0xA50F;
constexpr u16 kStatusValidMarked = 0xA506;
constexpr u16 kStatusValid = VALID_PAGE;

// low ⊆ s ⊆ high, bitwise: s lies on the way from high down to low.
constexpr bool between(u16 s, u16 low, u16 high) { return (s & low) == low && (s | high) == high; }

static_assert(between(kStatusReceiving, kStatusCopied, kErased));
static_assert(between(kStatusCopied, kStatusValidMarked, kStatusReceiving));
static_assert(between(kStatusValid, kStatusValid, kStatusValidMarked));
static_assert((kStatusReceiving & 0xFF) != RECEIVE_DATA && (kStatusReceiving & 0xFF) != VALID_PAGE);
static_assert((kStatusCopied & 0xFF) != RECEIVE_DATA && (kStatusCopied & 0xFF) != VALID_PAGE);
static_assert((kStatusValidMarked & 0xFF) == VALID_PAGE);

enum class Stage : u8 { Erased, Receiving, Copied, Valid, OldReceiving, Unknown };

Stage stageOf(u16 status) {
    const u16 low = status & 0xFF;
    if (status == kErased) return Stage::Erased;
    if (low == VALID_PAGE) return Stage::Valid;  // whatever the high byte
    if (low == RECEIVE_DATA) return Stage::OldReceiving;
    // Between copied and valid-marked the other page is already void.
    if (between(status, kStatusValidMarked, kStatusCopied)) return Stage::Copied;
    // Part-way to receiving, or part-way from receiving to copied: the copy
    // may not be complete, so it is finished again.
    if (between(status, kStatusReceiving, kErased) || between(status, kStatusCopied, kStatusReceiving))
        return Stage::Receiving;
    return Stage::Unknown;
}

u16 otherPage(u16 page) { return page == kPage0 ? kPage1 : kPage0; }

bool pageBlank(u16 page) {
    for (u16 a = page; a < page + kPageSize; a += 2)
        if (FLASH_Load(a) != kErased) return false;
    return true;
}

// Erases only what needs it: saves wear, and an erase is the one step a
// reset turns into arbitrary contents.
FLASH_Status clearPage(u16 page) { return pageBlank(page) ? FLASH_COMPLETE : FLASH_ErasePage(page); }

// The virtual-address halfword goes through VirtAddress | 1 first: a reset
// part-way through a program leaves some of its bits cleared, and every such
// value is odd, which no variable's address is. The second program clears
// bit 0 alone, which a reset cannot split.
FLASH_Status saveAddress(u16 at, u16 VirtAddress) {
    const u16 odd = (VirtAddress | 1) & 0xFFFF;
    if (odd != (VirtAddress & 0xFFFF)) {
        const FLASH_Status s = FLASH_Save(at, odd);
        if (s != FLASH_COMPLETE) return s;
    }
    return FLASH_Save(at, VirtAddress);
}

FLASH_Status appendTo(u16 page, u16 VirtAddress, u16 Data) {
    for (u16 a = page + kFirstRecord; a < page + kLastAddress; a += 4) {
        if (FLASH_Load(a) != kErased || FLASH_Load(a + 2) != kErased) continue;
        const FLASH_Status s = FLASH_Save(a, Data);  // data first: an address never names a half-written value
        if (s != FLASH_COMPLETE) return s;
        return saveAddress(a + 2, VirtAddress);
    }
    return PAGE_FULL;
}

FLASH_Status findIn(u16 page, u16 VirtAddress, u16* ReadData) {
    for (u16 a = page + kLastAddress; a >= page + kFirstRecord + 2; a -= 4) {
        if (FLASH_Load(a) == VirtAddress) {
            *ReadData = FLASH_Load(a - 2);
            return VARIABLE_EXIST;
        }
    }
    return VARIABLE_DOESNOT_EXIST;
}

// Both pages claim to be the copied one: only one can be, the other is the
// remains of an interrupted erase. A page a transfer has just filled holds
// its records first and nothing but empty records after them.
unsigned freshness(u16 page) {
    bool empty_seen = false, used_seen = false;
    for (u16 a = page + kFirstRecord; a < page + kPageSize; a += 4) {
        const bool empty = FLASH_Load(a) == kErased && FLASH_Load(a + 2) == kErased;
        if (empty) {
            empty_seen = true;
        } else {
            if (empty_seen) return 0;
            used_seen = true;
        }
    }
    if (!empty_seen) return 0;
    return used_seen ? 2 : 1;
}

// Both pages read valid: only one can be, the other is what a torn erase
// left (random contents; one tear in 256 reads 6). A page the store wrote
// has a status on its chain, its reserved halfword untouched, its used
// records first and then only empty ones, and every used record names a
// variable or is one a reset cut short (its address still odd or erased).
// 0: not such a page; 1: such a page, empty; 2: with records. With
// `receiving`, a page the older store marked 5 (receiving) instead.
unsigned readable(u16 page, bool receiving = false) {
    const u16 status = FLASH_Load(page);
    if (receiving ? status != RECEIVE_DATA : status != kStatusValid && status != kStatusValidMarked) return 0;
    if (FLASH_Load(page + 2) != kErased) return 0;
    bool empty_seen = false, used_seen = false;
    for (u16 a = page + kFirstRecord; a < page + kPageSize; a += 4) {
        const u16 data = FLASH_Load(a), va = FLASH_Load(a + 2);
        if (data == kErased && va == kErased) {
            empty_seen = true;
            continue;
        }
        if (empty_seen || ((va & 1) == 0 && va > kVariables[3])) return 0;
        used_seen = true;
    }
    return used_seen ? 2 : 1;
}

// `page` is marked copied: it holds every variable, the other page is void.
FLASH_Status makeActive(u16 page) {
    FLASH_Status s = clearPage(otherPage(page));
    if (s == FLASH_COMPLETE) s = FLASH_Save(page, kStatusValidMarked);
    if (s == FLASH_COMPLETE) s = FLASH_Save(page, kStatusValid);
    return s;
}

// Carries over from `from` (kNoPage: nothing) every variable that `to` does
// not hold yet, then makes `to` the active page. Resumable: a transfer cut
// off at any point is finished by running it again.
FLASH_Status completeTransfer(u16 from, u16 to) {
    if (from != kNoPage) {
        for (const u16 VarIdx : kVariables) {
            u16 present;
            if (findIn(to, VarIdx, &present) == VARIABLE_EXIST) continue;
            if (findIn(from, VarIdx, &DataVar) != VARIABLE_EXIST) continue;
            const FLASH_Status s = appendTo(to, VarIdx, DataVar);
            if (s != FLASH_COMPLETE) return s;
        }
    }
    const FLASH_Status s = FLASH_Save(to, kStatusCopied);
    if (s != FLASH_COMPLETE) return s;
    return makeActive(to);
}

// Makes `page` a receiving page, keeping one that already receives.
FLASH_Status startReceiving(u16 page) {
    const Stage stage = stageOf(FLASH_Load(page));
    if (stage == Stage::Receiving || stage == Stage::Copied) return FLASH_COMPLETE;
    FLASH_Status s = stage == Stage::Erased ? clearPage(page) : FLASH_ErasePage(page);
    if (s == FLASH_COMPLETE) s = FLASH_Save(page, kStatusReceiving);
    return s;
}

u8 waitCommand() {
    u8 status;
    do {
        status = static_cast<u8>(FEESTA & (FEESTA_PASS | FEESTA_FAIL));
    } while (status == 0);
    return status;
}

}  // namespace

constinit u16 DataVar = 0;

// The store's routines are also called by name from outside the image (the
// routine tests in the board simulator), so each is kept through
// --gc-sections even where no code of the image calls it: a relocation of
// type R_ARM_NONE from the vector table, which is always kept, adds no byte.
#define KEEP_IN_IMAGE(name) asm(".pushsection .vectors,\"ax\"\n.reloc ., R_ARM_NONE, " #name "\n.popsection")
KEEP_IN_IMAGE(FLASH_Save);
KEEP_IN_IMAGE(FLASH_Load);
KEEP_IN_IMAGE(FLASH_ErasePage);
KEEP_IN_IMAGE(EE_FindValidPage);
KEEP_IN_IMAGE(EE_VerifyPageFullWriteVariable);
KEEP_IN_IMAGE(EE_ReadVariable);
KEEP_IN_IMAGE(EE_PageTransfer);
KEEP_IN_IMAGE(EE_Erased);
KEEP_IN_IMAGE(EE_Format);
KEEP_IN_IMAGE(EE_Read);
KEEP_IN_IMAGE(EE_Write);
KEEP_IN_IMAGE(EE_Recover);
KEEP_IN_IMAGE(DataVar);

extern "C" {

FLASH_Status FLASH_Save(u16 Address, u16 Data) {
    FEEMOD = FEEMOD_EW;
    FEEADR = Address;
    FEEDAT = Data & 0xFFFF;
    FEECON = FEECON_WRITE;
    if (waitCommand() & FEESTA_FAIL) return FLASH_ERROR;
    FEEMOD = 0;
    return FLASH_COMPLETE;
}

u16 FLASH_Load(u16 Address) {
    FEEADR = Address;
    FEECON = FEECON_READ;
    waitCommand();
    return FEEDAT & 0xFFFF;
}

FLASH_Status FLASH_ErasePage(u16 Page_Address) {
    FEEMOD = FEEMOD_EW;
    FEEADR = Page_Address;
    FEECON = FEECON_ERASE_PAGE;
    const u8 status = waitCommand();
    FEEMOD = 0;
    return (status & FEESTA_FAIL) ? FLASH_ERROR : FLASH_COMPLETE;
}

FLASH_Status EE_FindValidPage(u8 Operation) {
    // One byte each: a status is judged by its low byte.
    const FLASH_Status PageStatus0 = static_cast<FLASH_Status>(FLASH_Load(kPage0) & 0xFF);
    const FLASH_Status PageStatus1 = static_cast<FLASH_Status>(FLASH_Load(kPage1) & 0xFF);
    if (Operation == 0) {
        if (PageStatus0 == VALID_PAGE) return PAGE0;
        if (PageStatus1 == VALID_PAGE) return PAGE1;
        return NO_VALID_PAGE;
    }
    if (PageStatus1 == VALID_PAGE) return PageStatus0 == RECEIVE_DATA ? PAGE0 : PAGE1;
    if (PageStatus0 == VALID_PAGE) return PageStatus1 == RECEIVE_DATA ? PAGE1 : PAGE0;
    return NO_VALID_PAGE;
}

FLASH_Status EE_VerifyPageFullWriteVariable(u16 VirtAddress, u16 Data) {
    const FLASH_Status ValidPage = EE_FindValidPage(1);
    if (ValidPage == NO_VALID_PAGE) return ValidPage;
    return appendTo(ValidPage == PAGE1 ? kPage1 : kPage0, VirtAddress, Data);
}

FLASH_Status EE_ReadVariable(u16 VirtAddress, u16* ReadData) {
    const FLASH_Status ValidPage = EE_FindValidPage(0);
    if (ValidPage == NO_VALID_PAGE) return ValidPage;
    return findIn(ValidPage == PAGE1 ? kPage1 : kPage0, VirtAddress, ReadData);
}

// The new value becomes the first record of the other page, the remaining
// variables follow in address order, and only then is the full page erased.
FLASH_Status EE_PageTransfer(u16 VirtAddress, u16 Data) {
    const FLASH_Status ValidPage = EE_FindValidPage(0);
    if (ValidPage == NO_VALID_PAGE) return ValidPage;
    const u16 OldPageAddress = ValidPage == PAGE1 ? kPage1 : kPage0;
    const u16 NewPageAddress = otherPage(OldPageAddress);
    FLASH_Status s = startReceiving(NewPageAddress);
    if (s == FLASH_COMPLETE) s = appendTo(NewPageAddress, VirtAddress, Data);
    if (s == FLASH_COMPLETE) s = completeTransfer(OldPageAddress, NewPageAddress);
    return s;
}

Bool EE_Erased(void) {
    constexpr u16 kBlankTest[] = {kPage0, kPage0 + 2, kPage1, kPage1 + 2};
    for (const u16 a : kBlankTest)
        if (FLASH_Load(a) != kErased) return False;
    return True;
}

// Goes through the same marks as a transfer, so a reset part-way leaves a
// state EE_Recover finishes.
Bool EE_Format(void) {
    FLASH_Status s = clearPage(kPage0);
    if (s == FLASH_COMPLETE) s = FLASH_Save(kPage0, kStatusReceiving);
    if (s == FLASH_COMPLETE) s = FLASH_Save(kPage0, kStatusCopied);
    if (s == FLASH_COMPLETE) s = makeActive(kPage0);
    return s == FLASH_COMPLETE ? True : False;
}

Bool EE_Read(u16 VirtAddress, u16* Read_data) {
    return EE_ReadVariable(VirtAddress, Read_data) == VARIABLE_EXIST ? True : False;
}

Bool EE_Write(u16 VirtAddress, u16 Data) {
    FLASH_Status Status = EE_VerifyPageFullWriteVariable(VirtAddress, Data);
    if (Status == PAGE_FULL) Status = EE_PageTransfer(VirtAddress, Data);
    return Status == FLASH_COMPLETE ? True : False;
}

Bool EE_Recover(void) {
    const u16 status0 = FLASH_Load(kPage0);
    const u16 status1 = FLASH_Load(kPage1);
    const Stage stage0 = stageOf(status0), stage1 = stageOf(status1);
    const auto either = [&](Stage s) { return stage0 == s || stage1 == s; };
    const auto pageIn = [&](Stage s) { return stage0 == s ? kPage0 : kPage1; };  // page 0 first
    FLASH_Status s = FLASH_COMPLETE;
    // An older transfer cut off in the erase of the full page can leave it
    // reading valid (one tear in 256), empty or with no record the store
    // could have written, next to the page marked 5 that has the records:
    // the older store never moved out of a page without them.
    const bool tornBesideOlder = either(Stage::Valid) && either(Stage::OldReceiving) &&
                                 readable(pageIn(Stage::Valid)) < 2 && readable(pageIn(Stage::OldReceiving), true) == 2;

    if (either(Stage::Copied)) {
        // A transfer or format got as far as the copy: finish it.
        u16 page = pageIn(Stage::Copied);
        if (stage0 == stage1 && freshness(kPage1) > freshness(kPage0)) page = kPage1;
        s = makeActive(page);
    } else if (either(Stage::Valid) && !tornBesideOlder) {
        u16 page = pageIn(Stage::Valid);
        // Both valid: keep the readable one, and of two the one with records.
        // Beyond that, records carry no sequence to tell age by; page 0 is
        // the one every read has returned so far.
        if (stage0 == stage1 && readable(kPage1) > readable(kPage0)) page = kPage1;
        const u16 other = otherPage(page);
        const u16 status = page == kPage0 ? status0 : status1;
        switch (page == kPage0 ? stage1 : stage0) {
        case Stage::Receiving:  // a transfer cut off while copying: carry on
            s = completeTransfer(page, other);
            break;
        case Stage::Erased:  // settled; only a cut-off final mark is finished
            if (status != kStatusValid && between(status, kStatusValid, kStatusValidMarked))
                s = FLASH_Save(page, kStatusValid);
            break;
        default:
            // An older transfer cut off with its receiving page marked 5, which
            // can never become valid, or a page of no use: the valid page
            // keeps what reads have seen so far.
            s = FLASH_ErasePage(other);
            if (s == FLASH_COMPLETE && status != kStatusValid && between(status, kStatusValid, kStatusValidMarked))
                s = FLASH_Save(page, kStatusValid);
            break;
        }
    } else if (either(Stage::OldReceiving)) {
        // An older transfer cut off after (or, torn, in) the erase of the full
        // page and before marking the new one valid: the page marked 5 holds
        // everything; move it.
        const u16 from = pageIn(Stage::OldReceiving);
        const u16 to = otherPage(from);
        s = startReceiving(to);
        if (s == FLASH_COMPLETE) s = completeTransfer(from, to);
    } else if (either(Stage::Receiving)) {
        // Receiving with nothing to receive from: the format was cut off.
        s = completeTransfer(kNoPage, pageIn(Stage::Receiving));
    } else if (stage0 == Stage::Erased && stage1 == Stage::Erased && pageBlank(kPage0) && pageBlank(kPage1)) {
        return False;  // blank: boot formats it and writes the defaults
    } else {
        // Nothing readable is left; start afresh so that writes are accepted.
        s = EE_Format() ? FLASH_COMPLETE : FLASH_ERROR;
    }
    return (s == FLASH_COMPLETE && EE_FindValidPage(0) != NO_VALID_PAGE) ? True : False;
}

}  // extern "C"
