#pragma once
// Any bit rate, also those without a B<rate> constant, through the kernel's
// termios2 interface. Both return 0 or the errno of the failing call.

int SetExactBaudRate(int fd, unsigned long bitsPerSecond);
int GetExactBaudRate(int fd, unsigned long& bitsPerSecond);
