#include <cstdio>
#include <iostream>

#include "devsim/DevsimOptions.h"
#include "devsim/DevsimServer.h"

int main(int argc, char** argv) {
    // Line-buffered even into a pipe: whoever reads the log sees each line as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TDevsimOptions options;
    const std::string error = ParseDevsimOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    // Help and the version are asked for whatever else stands beside them.
    if (options.Help) {
        std::cout << DevsimHelpText() << std::flush;
        return DevsimSuccess;
    }
    if (options.Version) {
        std::cout << VersionText("kaldora-devsim") << std::endl;
        return DevsimSuccess;
    }
    if (!error.empty()) {
        std::cerr << error << std::endl;
        return DevsimUsageError;
    }
    return RunDevsimServer(options);
}
