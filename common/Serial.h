// Polled UART driver. velmora: 9600 Bd with the bus driver enable on P0.7
// around every byte; tavlo: 115200 Bd with the fractional divider.
#pragma once

extern "C" {
// Receive errors (the COMSTA0 overrun, parity, framing and break bits) the
// driver saw since the application last cleared this; reading COMSTA0 clears
// them in the UART, so every read goes through the driver's latch.
extern unsigned RxErrors;

void InitSerial(void);
int putchar(int ch);
int getchar(void);
int write(int file, char* ptr, int len);
#if defined(NODE_VELMORA)
int received(void);
int puts(char* ptr);
#endif
}
