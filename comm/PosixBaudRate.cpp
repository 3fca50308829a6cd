// Kept apart because the kernel's termios2 (asm/termbits.h) clashes with
// glibc's <termios.h> and <sys/ioctl.h>.
#include "comm/PosixBaudRate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

int SetExactBaudRate(int fd, unsigned long bitsPerSecond) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = bitsPerSecond;
    t.c_ospeed = bitsPerSecond;
    return ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno;
}

int GetExactBaudRate(int fd, unsigned long& bitsPerSecond) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    bitsPerSecond = t.c_ospeed;
    return 0;
}
