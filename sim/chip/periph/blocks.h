// Every peripheral model of the chip, for code that reaches the blocks
// through Chip's accessors.
#pragma once
#include "chip/periph/analog.h"
#include "chip/periph/core_blocks.h"
#include "chip/periph/flash_ee.h"
#include "chip/periph/gpio.h"
#include "chip/periph/timers.h"
#include "chip/periph/uart.h"
