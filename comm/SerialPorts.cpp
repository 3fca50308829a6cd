#include "comm/SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

} // namespace

std::vector<std::string> ListSerialPorts() {
    return ListSerialPortsIn("/dev", "/sys/class/tty");
}

std::vector<std::string> ListSerialPortsIn(const std::string& devDir, const std::string& sysDir) {
    static const char* const prefixes[] = {"ttyUSB", "ttyACM", "ttyS"};
    std::vector<std::pair<long, std::string>> found[3];
    if (DIR* dir = opendir(devDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            for (int i = 0; i < 3; ++i) {
                const long n = NumberAfter(name, prefixes[i]);
                if (n >= 0) found[i].emplace_back(n, name);
            }
        }
        closedir(dir);
    }
    std::vector<std::string> ports;
    for (int i = 0; i < 3; ++i) {
        std::sort(found[i].begin(), found[i].end());
        for (const auto& [n, name] : found[i])
            if (i < 2 || HasUart(name, devDir, sysDir)) ports.push_back(devDir + "/" + name);
    }
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
