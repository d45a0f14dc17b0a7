// Clock bring-up and board set-up of the converter controller.
#pragma once

extern "C" {
void InitController(void);
void IRQ_Handler(void);
}
