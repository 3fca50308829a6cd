#pragma once
// Names of the serial ports present on this machine, and how the component's
// device names map onto them.

#include <string>
#include <vector>

// The device paths of the serial ports present, in a stable order: USB
// adapters /dev/ttyUSB<n> by number, then /dev/ttyACM<n>, then the built-in
// /dev/ttyS<n> that have a UART behind them.
std::vector<std::string> ListSerialPorts();
// The same over another device folder and sysfs tty class folder. Opens no
// port where sysfs tells a ttyS port's type.
std::vector<std::string> ListSerialPortsIn(const std::string& devDir, const std::string& sysDir);

// "Com<N>" (any case of "com", N >= 1) names ports[N-1]; a name beginning with
// "/" is a path used as it is. Anything else, "Com0", and a number beyond the
// list give an empty name, which no device answers to.
std::string ResolveDeviceName(const std::string& name, const std::vector<std::string>& ports);
