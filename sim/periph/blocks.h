// Every peripheral model of the chip, for code that reaches the blocks
// through Chip's accessors.
#pragma once
#include "analog.h"
#include "core_blocks.h"
#include "flash_ee.h"
#include "gpio.h"
#include "timers.h"
#include "uart.h"
