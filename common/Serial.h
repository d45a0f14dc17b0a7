// Polled UART driver. velmora: 9600 Bd with the bus driver enable on P0.7
// around every byte; tavlo: 115200 Bd with the fractional divider.
#pragma once

extern "C" {
void InitSerial(void);
int putchar(int ch);
int getchar(void);
int write(int file, char* ptr, int len);
#if defined(NODE_VELMORA)
int received(void);
int puts(char* ptr);
#endif
}
