#include <iostream>

#include "cli/KaldoraCli.h"

int main(int argc, char** argv) {
    const TCliResult result = RunCli(std::vector<std::string>(argv + 1, argv + argc));
    std::cout << result.Out << std::flush;
    std::cerr << result.Err << std::flush;
    return result.ExitCode;
}
