#include "comm/SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/serial.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

// The number after prefix in name, or -1 when the rest is not all digits.
long NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return -1;
    return std::stol(digits);
}

// The 8250 driver creates ttyS0..N whether or not a UART answers; only the
// ones whose port type is known are real. The type is read from sysfs, so
// listing opens no port: opening one raises its DTR and RTS, and one that
// another program holds would fail to open and drop out of the list, moving
// every Com number after it.
bool HasUart(const std::string& name, const std::string& devDir, const std::string& sysDir) {
    const std::string sys = sysDir + "/" + name;
    struct stat st {};
    if (stat((sys + "/device").c_str(), &st) != 0) return false;
    if (std::FILE* f = std::fopen((sys + "/type").c_str(), "re")) {
        int type = PORT_UNKNOWN;
        const bool read = std::fscanf(f, "%d", &type) == 1;
        std::fclose(f);
        if (read) return type != PORT_UNKNOWN;
    }
    // Kernels without the type attribute: ask the port itself.
    const int fd = open((devDir + "/" + name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;
    serial_struct info{};
    const bool known = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return known;
}

// The first line of a sysfs attribute, without its line end; empty when absent.
std::string ReadAttribute(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

// The last part of the path a symbolic link points to ("ftdi_sio" for
// ".../drivers/ftdi_sio"); empty when it is no link.
std::string LinkName(const std::filesystem::path& link) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

// A device on USB has "/usb" in its path below /devices. A Bluetooth serial
// link is not an adapter, even when its radio sits on USB.
bool ThroughUsb(const std::string& devicePath) {
    const size_t devices = devicePath.find("/devices/");
    const std::string below = devices == std::string::npos ? devicePath : devicePath.substr(devices);
    return below.find("/usb") != std::string::npos && below.find("/bluetooth/") == std::string::npos;
}

// The USB device above a port's device is the first folder up the path that
// has an idVendor attribute.
void ReadUsbInfo(std::filesystem::path device, TSerialPortInfo& info) {
    for (int up = 0; up < 8 && device.has_relative_path() && device.filename() != "devices"; ++up) {
        std::error_code ec;
        if (std::filesystem::exists(device / "idVendor", ec)) {
            info.VendorId = ReadAttribute(device / "idVendor");
            info.ProductId = ReadAttribute(device / "idProduct");
            info.Manufacturer = ReadAttribute(device / "manufacturer");
            info.Product = ReadAttribute(device / "product");
            info.SerialNumber = ReadAttribute(device / "serial");
            return;
        }
        device = device.parent_path();
    }
}

enum TPortGroup { pgUsbAdapter, pgUsbModem, pgOther, pgBuiltIn };

struct TFoundPort {
    TPortGroup Group;
    std::string Prefix; // the name without its trailing number
    long Number;        // -1 for a name without one
    TSerialPortInfo Info;
};

} // namespace

std::vector<TSerialPortInfo> ListSerialPortInfoIn(const std::string& devDir, const std::string& sysDir) {
    std::vector<TFoundPort> found;
    if (DIR* dir = opendir(sysDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.empty() || name[0] == '.') continue;
            // Most entries are virtual terminals with nothing behind them: one look
            // each rules them out before the device path is resolved, which costs a
            // look per folder on the way.
            struct stat st {};
            if (lstat((sysDir + "/" + name + "/device").c_str(), &st) != 0) continue;
            if (lstat((devDir + "/" + name).c_str(), &st) != 0) continue;
            const std::filesystem::path sys = std::filesystem::path(sysDir) / name;
            std::error_code ec;
            const std::filesystem::path device = std::filesystem::canonical(sys / "device", ec);
            if (ec) continue;

            TFoundPort port{pgOther, name, -1, {}};
            size_t digits = name.size();
            while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])))
                --digits;
            if (digits < name.size() && name.size() - digits <= 9) {
                port.Prefix = name.substr(0, digits);
                port.Number = std::stol(name.substr(digits));
            }
            TSerialPortInfo& info = port.Info;
            info.Path = devDir + "/" + name;
            info.Name = name;
            info.Driver = LinkName(sys / "device" / "driver");
            info.Usb = ThroughUsb(device.string());
            if (port.Prefix == "ttyACM")
                port.Group = pgUsbModem;
            else if (info.Usb)
                port.Group = pgUsbAdapter;
            else if (NumberAfter(name, "ttyS") >= 0)
                port.Group = pgBuiltIn;
            if (port.Group == pgBuiltIn && !HasUart(name, devDir, sysDir)) continue;
            if (info.Usb) ReadUsbInfo(device, info);
            found.push_back(std::move(port));
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end(), [](const TFoundPort& a, const TFoundPort& b) {
        return std::tie(a.Group, a.Prefix, a.Number, a.Info.Name) <
               std::tie(b.Group, b.Prefix, b.Number, b.Info.Name);
    });
    std::vector<TSerialPortInfo> ports;
    for (TFoundPort& port : found)
        ports.push_back(std::move(port.Info));
    return ports;
}

std::vector<std::string> ListSerialPortsIn(const std::string& devDir, const std::string& sysDir) {
    std::vector<std::string> paths;
    for (const TSerialPortInfo& info : ListSerialPortInfoIn(devDir, sysDir))
        paths.push_back(info.Path);
    return paths;
}

std::vector<TSerialPortInfo> ListSerialPortInfo() {
    return ListSerialPortInfoIn("/dev", "/sys/class/tty");
}

std::vector<std::string> ListSerialPorts() {
    return ListSerialPortsIn("/dev", "/sys/class/tty");
}

std::vector<std::string> WithGivenPorts(const std::vector<std::string>& given,
                                        std::vector<std::string> machine) {
    std::vector<std::string> ports;
    std::set<std::string> seen;
    const auto add = [&](const std::string& path) {
        if (!path.empty() && seen.insert(path).second) ports.push_back(path);
    };
    for (const std::string& name : given)
        add(name.find('/') == std::string::npos ? "/dev/" + name : name);
    for (const std::string& path : machine)
        add(path);
    return ports;
}

std::string ResolveDeviceName(const std::string& name, const std::vector<std::string>& ports) {
    if (!name.empty() && name[0] == '/') return name;
    if (name.size() < 4) return {};
    std::string prefix = name.substr(0, 3);
    std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (prefix != "com") return {};
    const long n = NumberAfter("com" + name.substr(3), "com");
    if (n < 1 || static_cast<unsigned long>(n) > ports.size()) return {};
    return ports[n - 1];
}
