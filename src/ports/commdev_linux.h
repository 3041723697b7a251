// Linux-only port settings: arbitrary line speeds through termios2, and the
// driver's low-latency flag. Kept apart from the rest of the POSIX port code
// because <asm/termbits.h> clashes with <termios.h>.
#ifndef VELCOT_COMMDEV_LINUX_H
#define VELCOT_COMMDEV_LINUX_H

#include <cstdint>

// Sets the port's speed to any rate, leaving its other settings as they are.
// Returns the speed the driver reports afterwards, or 0 with errno set.
uint32_t SetCustomSpeed(int fd, uint32_t baudrate);

// The output speed the driver reports, or 0 with errno set.
uint32_t GetSpeed(int fd);

// The rate a 16550-style UART really makes for a rate: its clock over 16
// (baud_base) divided by the nearest whole divisor, which its driver may
// report as the rate asked for. 0 where the driver describes no such
// divisor (USB adapters, other UARTs, pseudo-terminals).
uint32_t FindDivisorRate(int fd, uint32_t rate);

// Asks the driver to pass received bytes on at once rather than collect
// them: a USB adapter's latency timer (16 ms on FTDI chips) otherwise delays
// every reply. Returns the serial flags to put back, or -1 when nothing was
// changed (already set, or a port without such flags, such as a pty).
int RequestLowLatency(int fd);

// Puts back the low-latency flag as RequestLowLatency found it.
void RestoreSerialFlags(int fd, int flags);

#endif
