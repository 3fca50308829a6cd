#include "cli/Descriptors.h"

#include <dirent.h>
#include <sys/resource.h>

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

std::string DescriptorShortfall(const std::vector<TLinkSettings>& links, size_t limit, size_t inUse) {
    auto per = [](const TLinkSettings& link) {
        return link.Kind == TLinkSettings::TKind::Tcp ? TcpLinkDescriptors : SerialLinkDescriptors;
    };
    size_t need = ReservedDescriptors, fit = 0;
    for (const TLinkSettings& link : links) {
        need += per(link);
        if (inUse + need <= limit) ++fit;
    }
    if (inUse + need <= limit) return "";
    return std::to_string(links.size()) + (links.size() == 1 ? " port needs " : " ports need ") +
           std::to_string(need) + " descriptors, and this process may have " + std::to_string(limit) +
           " (its hard limit, see ulimit -Hn), " + std::to_string(inUse) + " of them in use: " +
           std::to_string(fit) + (fit == 1 ? " port fits" : " ports fit");
}

std::string DescriptorShortfall(const std::vector<TLinkSettings>& links) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return "";
    size_t inUse = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++inUse;
        closedir(dir);
        if (inUse > 0) --inUse; // the directory's own
    }
    const size_t cap = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(limit.rlim_cur);
    return DescriptorShortfall(links, cap, inUse);
}
