// Parameter store: two 512-byte flash pages (offsets 0xF000 and 0xF200) used
// as an emulated EEPROM of 16-bit values keyed by virtual address. A write
// appends a record (data halfword, then virtual-address halfword); a read
// returns the newest record of its address; a full page is carried over to
// the other one.
//
// Boot calls EE_Erased (and EE_Format plus the defaults when it is True), then
// EE_Recover, then the reads. Only the main loop may use the store.
#pragma once

#include <stdint.h>

typedef uint8_t u8;
typedef uint32_t u16;  // 32 bits wide on purpose: every parameter and number read from the line
typedef uint32_t u32;

enum Bool : uint8_t { False = 0, True = 1 };

// Results of the store's routines; RECEIVE_DATA and VALID_PAGE are also the
// page-status values of the stored format (judged by the status' low byte).
enum FLASH_Status : uint8_t {
    FLASH_ERROR = 0,
    FLASH_COMPLETE = 1,
    PAGE0 = 2,
    PAGE1 = 3,
    ERASED = 4,
    RECEIVE_DATA = 5,
    VALID_PAGE = 6,
    NO_VALID_PAGE = 7,
    PAGE_FULL = 8,
    VARIABLE_EXIST = 9,
    VARIABLE_DOESNOT_EXIST = 10,
};

extern "C" {

// Value being carried over during a page transfer.
extern u16 DataVar;

// Flash/EE controller access: offsets are byte offsets from the start of flash.
FLASH_Status FLASH_Save(u16 Address, u16 Data);
u16 FLASH_Load(u16 Address);
FLASH_Status FLASH_ErasePage(u16 Page_Address);

// Emulation core. Operation 0 asks for the page to read, 1 for the page to write.
FLASH_Status EE_FindValidPage(u8 Operation);
FLASH_Status EE_VerifyPageFullWriteVariable(u16 VirtAddress, u16 Data);
FLASH_Status EE_ReadVariable(u16 VirtAddress, u16* ReadData);
FLASH_Status EE_PageTransfer(u16 VirtAddress, u16 Data);

// Public operations.
Bool EE_Erased(void);  // True when both pages' status and reserved halfwords are erased
Bool EE_Format(void);  // page 0 the empty active page, page 1 erased
Bool EE_Read(u16 VirtAddress, u16* Read_data);  // *Read_data unchanged when False
Bool EE_Write(u16 VirtAddress, u16 Data);
// Finishes or rolls back whatever a reset interrupted (a page transfer, a
// page erase, the format) so that every variable reads a value it was given
// and writes are accepted again. Cheap when there is nothing to do. True when
// the store has an active page afterwards; a blank store is left blank.
Bool EE_Recover(void);

// Write-if-changed: writes only when the variable has no record or holds
// another value (defined with the application, in velmora.cpp).
void EE_Set(u16 VirtAddress, u16 Data);

}  // extern "C"
