#pragma once
// Names of the serial ports present on this machine, and how the component's
// device names map onto them.

#include <string>
#include <vector>

// One serial port as sysfs describes it. The USB fields are empty for ports
// that are not on USB, and for any attribute the device does not have.
struct TSerialPortInfo {
    std::string Path;   // "/dev/ttyUSB0"
    std::string Name;   // "ttyUSB0"
    std::string Driver; // the kernel driver of the port's device: "ftdi_sio", "cdc_acm", "serial8250"
    bool Usb = false;
    std::string VendorId;  // four hex digits, as sysfs writes them: "0403"
    std::string ProductId; // "6001"
    std::string Manufacturer;
    std::string Product;
    std::string SerialNumber;

    bool operator==(const TSerialPortInfo&) const = default;
};

// The serial ports present, in a stable order: every tty of the sysfs class
// folder that has a device behind it (a "device" link) and a node in the
// device folder. First USB adapters (ttyUSB*, vendor drivers like ttyXRUSB*:
// a device path through USB), then USB modems (ttyACM*), then other devices
// (ttyAMA*, ttymxc*, rfcomm*, ...), then the built-in ttyS* that have a UART
// behind them. Within a group by name, then by number (ttyUSB2 before
// ttyUSB10). Virtual terminals (tty0.., ptmx, console) have no device and are
// left out. Reads sysfs only: no port is opened where sysfs tells a ttyS
// port's type.
std::vector<TSerialPortInfo> ListSerialPortInfoIn(const std::string& devDir, const std::string& sysDir);
// The device paths of ListSerialPortInfoIn, in its order.
std::vector<std::string> ListSerialPortsIn(const std::string& devDir, const std::string& sysDir);
// The same over /dev and /sys/class/tty.
std::vector<TSerialPortInfo> ListSerialPortInfo();
std::vector<std::string> ListSerialPorts();

// The ports the user named first, then the machine's, each once: the port
// list of a window started with "--port PATH" options. A given name without
// a "/" is taken as a device under /dev.
std::vector<std::string> WithGivenPorts(const std::vector<std::string>& given,
                                        std::vector<std::string> machine);

// "Com<N>" (any case of "com", N >= 1) names ports[N-1]; a name beginning with
// "/" is a path used as it is. Anything else, "Com0", and a number beyond the
// list give an empty name, which no device answers to.
std::string ResolveDeviceName(const std::string& name, const std::vector<std::string>& ports);
