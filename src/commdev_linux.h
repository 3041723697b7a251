// Arbitrary line speeds through Linux termios2. Kept apart from the rest of
// the POSIX port code because <asm/termbits.h> clashes with <termios.h>.
#ifndef VELCOT_COMMDEV_LINUX_H
#define VELCOT_COMMDEV_LINUX_H

#include <cstdint>

// Sets the port's speed to any rate, leaving its other settings as they are.
// Returns the speed the driver reports afterwards, or 0 with errno set.
uint32_t SetCustomSpeed(int fd, uint32_t baudrate);

// The output speed the driver reports, or 0 with errno set.
uint32_t GetSpeed(int fd);

#endif
