#include "comm/SerialPorts.h"

#include <algorithm>
#include <cctype>
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
// ones whose port type is known are real.
bool HasUart(const std::string& name) {
    struct stat st {};
    if (stat(("/sys/class/tty/" + name + "/device").c_str(), &st) != 0) return false;
    const int fd = open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    serial_struct info{};
    const bool known = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return known;
}

} // namespace

std::vector<std::string> ListSerialPorts() {
    static const char* const prefixes[] = {"ttyUSB", "ttyACM", "ttyS"};
    std::vector<std::pair<long, std::string>> found[3];
    if (DIR* dir = opendir("/dev")) {
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
            if (i < 2 || HasUart(name)) ports.push_back("/dev/" + name);
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
