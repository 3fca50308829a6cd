#pragma once
// What a system error means to the user, and the words for it. The window,
// the command line and the serial component all say the same thing for the
// same fault, whichever layer met it.

// The kinds a user can act on; everything else is seOther and is told with the
// system's own text.
enum TSystemError {
    seNoSuchDevice,
    seInUse,
    sePermission,
    seNotSerialPort,
    seGone,
    seRefused,
    seUnreachable,
    seTimedOut,
    seHostNotFound, // a failed name lookup; no errno value gives it
    seOther
};

// The kind of an errno value. The one place where the POSIX backend's error
// numbers gain a meaning; ENXIO and ENODEV count as no such device, since a
// transfer that meets them is reported through the device's loss instead.
TSystemError ClassifySystemError(int errnoValue);

// The words for a kind, e.g. "in use by another program"; for seOther
// "an unexpected system error", which callers replace with strerror.
const char* SystemErrorText(TSystemError kind);
