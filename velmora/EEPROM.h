// Parameter store: the node's four parameters kept in two 512-byte flash
// pages (offsets 0xF000 and 0xF200) used as an emulated EEPROM.
#pragma once

#include <stdint.h>

// The program's integer names. u16 is 32 bits wide despite its name: every
// parameter and every number read from the line is one.
typedef uint8_t u8;
typedef uint32_t u16;
typedef uint32_t u32;

enum Bool : uint8_t { False = 0, True = 1 };

// Results of the store's inner layer; RECEIVE_DATA and VALID_PAGE double as
// the page-status halfwords kept in flash.
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

extern u16 DataVar;

// Flash access: the only code that drives the flash/EE controller.
FLASH_Status FLASH_Save(u16 Address, u16 Data);
u16 FLASH_Load(u16 Address);
FLASH_Status FLASH_ErasePage(u16 Page_Address);

// Emulation core.
FLASH_Status EE_FindValidPage(u8 Operation);
FLASH_Status EE_VerifyPageFullWriteVariable(u16 VirtAddress, u16 Data);
FLASH_Status EE_ReadVariable(u16 VirtAddress, u16* ReadData);
FLASH_Status EE_PageTransfer(u16 VirtAddress, u16 Data);

// Public operations.
Bool EE_Erased(void);
Bool EE_Format(void);
Bool EE_Read(u16 VirtAddress, u16* Read_data);
Bool EE_Write(u16 VirtAddress, u16 Data);
// Brings the pages into a usable state after a reset that cut a page
// transfer short; boot calls it before it reads the parameters.
Bool EE_Recover(void);

// Write-if-changed (module velmora).
void EE_Set(u16 VirtAddress, u16 Data);

}  // extern "C"
