#include <iostream>

#include "cli/Batch.h"
#include "cli/KaldoraCli.h"

int main(int argc, char** argv) {
    // batch finishes its rows in flight on the first Ctrl-C, so it takes the signals itself.
    if (argc > 1 && std::string(argv[1]) == "batch")
        return RunBatchCommand(std::vector<std::string>(argv + 2, argv + argc));
    const TCliResult result = RunCli(std::vector<std::string>(argv + 1, argv + argc));
    std::cout << result.Out << std::flush;
    std::cerr << result.Err << std::flush;
    return result.ExitCode;
}
