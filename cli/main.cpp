#include <pthread.h>
#include <signal.h>

#include <iostream>
#include <thread>

#include "cli/Batch.h"
#include "cli/CliLink.h"
#include "cli/KaldoraCli.h"

int main(int argc, char** argv) {
    // batch finishes its rows in flight on the first Ctrl-C, so it takes the signals itself.
    if (argc > 1 && std::string(argv[1]) == "batch")
        return RunBatchCommand(std::vector<std::string>(argv + 2, argv + argc));
    // Ctrl-C and SIGTERM are taken by one thread of their own, which ends every wait
    // in the links; the command then closes its port and returns. Blocked before any
    // other thread starts, so that no other thread receives them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([stops] {
        int signal = 0;
        if (sigwait(&stops, &signal) == 0) InterruptAllLinks();
    }).detach();

    const TCliStreams streams{[](const std::string& text) { std::cout << text << std::flush; },
                              [](const std::string& text) { std::cerr << text << std::flush; }};
    const TCliResult result = RunCli(std::vector<std::string>(argv + 1, argv + argc), &streams);
    std::cout << result.Out << std::flush;
    std::cerr << result.Err << std::flush;
    return result.ExitCode;
}
