#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cli/BatchCommand.h"
#include "cli/Descriptors.h"
#include "cli/KaldoraCli.h"
#include "cli/Link.h"
#include "cli/StationCommand.h"

namespace {

// A closed pipe or a full disk on a standard stream is a failure of the command, never
// its silent success.
bool WriteAll(std::FILE* stream, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away makes a write fail with EPIPE; the command says so and ends
    // with its own status instead of being killed unrecorded.
    signal(SIGPIPE, SIG_IGN);
    // Many fixtures take many descriptors; the hard limit is ours to use.
    RaiseDescriptorLimit();
    std::vector<std::string> args(argv + 1, argv + argc);
    // "help batch" is "batch --help", as for every command.
    if (args.size() == 2 && args[0] == "help" && (args[1] == "batch" || args[1] == "journal" || args[1] == "station")) args = {args[1], "--help"};
    // batch records its rows in flight on a signal, so it takes the signals itself.
    if (!args.empty() && args[0] == "batch") return RunBatchCommand({args.begin() + 1, args.end()});
    if (!args.empty() && args[0] == "journal") return RunJournalCommand({args.begin() + 1, args.end()});
    if (!args.empty() && args[0] == "station") return RunStationCommand({args.begin() + 1, args.end()});

    // Ctrl-C, SIGTERM and SIGHUP are taken by one thread of their own, which ends every
    // wait in the links; the command then closes its port and returns. Blocked before any
    // other thread starts, so that no other thread receives them.
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([stops] {
        int signal = 0;
        if (sigwait(&stops, &signal) == 0) InterruptAllLinks();
    }).detach();

    bool outFailed = false;
    int outError = 0;
    auto out = [&](const std::string& text) {
        if (!outFailed && !WriteAll(stdout, text)) {
            outFailed = true;
            outError = errno;
        }
    };
    const TCliStreams streams{out, [](const std::string& text) { WriteAll(stderr, text); }};
    const TCliResult result = RunCli(args, &streams);
    out(result.Out);
    WriteAll(stderr, result.Err);
    if (outFailed) {
        WriteAll(stderr, std::string("kaldora-cli: standard output: ") + std::strerror(outError) + "\n");
        return CliWriteFailed;
    }
    return result.ExitCode;
}
