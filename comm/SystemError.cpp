#include "comm/SystemError.h"

#include <cerrno>

TSystemError ClassifySystemError(int errnoValue) {
    switch (errnoValue) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return seNoSuchDevice;
    case EBUSY:
    case EAGAIN: // a lock another process holds
        return seInUse;
    case EACCES:
    case EPERM:
        return sePermission;
    case ENOTTY:
        return seNotSerialPort;
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case ESHUTDOWN:
        return seGone;
    case ECONNREFUSED:
        return seRefused;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        return seUnreachable;
    case ETIMEDOUT:
        return seTimedOut;
    default:
        return seOther;
    }
}

const char* SystemErrorText(TSystemError kind) {
    switch (kind) {
    case seNoSuchDevice:
        return "no such device";
    case seInUse:
        return "in use by another program";
    case sePermission:
        return "permission denied \u2014 add your user to the dialout group (sudo adduser $USER dialout) and "
               "log in again";
    case seNotSerialPort:
        return "not a serial port";
    case seGone:
        return "the device is gone";
    case seRefused:
        return "connection refused: nothing listens on that port";
    case seUnreachable:
        return "the host cannot be reached from this machine";
    case seTimedOut:
        return "no answer: the connection timed out";
    case seHostNotFound:
        return "host name not found";
    case seOther:
        break;
    }
    return "an unexpected system error";
}
