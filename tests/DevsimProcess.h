#pragma once
// kaldora-devsim as a child process of a test: TCP on a free loopback port and
// a pseudo-terminal, plus any fault options. Ended with SIGTERM when destroyed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

// How the child is started, beyond its options.
struct TDevsimLaunch {
    // > 0: the child's RLIMIT_NOFILE, and it inherits no descriptor beyond 0-2, so that
    // the count it can still open is known.
    int DescriptorLimit = 0;
    bool ErrorsInLog = false; // standard error into the log that ReadLine reads
};

class TDevsimProcess {
public:
    explicit TDevsimProcess(const std::string& program, const std::vector<std::string>& options = {},
                            const TDevsimLaunch& launch = {}) {
        int out[2];
        if (pipe(out) != 0) return;
        FPid = fork();
        if (FPid == 0) {
            dup2(out[1], STDOUT_FILENO);
            if (launch.ErrorsInLog) dup2(out[1], STDERR_FILENO);
            close(out[0]);
            close(out[1]);
            if (launch.DescriptorLimit > 0) {
                close_range(3, ~0U, 0);
                const rlimit limit{rlim_t(launch.DescriptorLimit), rlim_t(launch.DescriptorLimit)};
                if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
            }
            std::vector<std::string> args = {program, "--tcp", "127.0.0.1:0", "--pty"};
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        FOut = out[0];
        // "pty: none ..." (--replug: no device, no pty yet) ends the wait with Pty empty.
        const std::regex tcp("tcp: listening on 127\\.0\\.0\\.1:(\\d+)"), pty("pty: (/dev/\\S+|none)");
        std::smatch m;
        bool ptyShown = false;
        while (Port == 0 || !ptyShown) {
            const std::string line = ReadLine(std::chrono::steady_clock::now() + std::chrono::seconds(5));
            if (line.empty()) break;
            if (std::regex_search(line, m, tcp)) Port = std::stoi(m[1]);
            if (std::regex_search(line, m, pty)) {
                ptyShown = true;
                if (m[1] != "none") Pty = m[1];
            }
        }
    }
    ~TDevsimProcess() {
        // The log first: a child blocked writing to a log nobody reads would never see the signal.
        if (FOut >= 0) close(FOut);
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }
    TDevsimProcess(const TDevsimProcess&) = delete;
    TDevsimProcess& operator=(const TDevsimProcess&) = delete;

    std::string Tcp() const { return "127.0.0.1:" + std::to_string(Port); }
    pid_t Pid() const { return FPid; }

    // Waits for the child to end (its log closes), then reaps it: its wait status, or -1
    // when it is still running at the deadline, after which it is killed.
    int Wait(std::chrono::steady_clock::time_point deadline) {
        using namespace std::chrono;
        for (;;) {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{FOut, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                kill(FPid, SIGKILL);
                waitpid(FPid, nullptr, 0);
                FPid = -1;
                return -1;
            }
            char chunk[512];
            const ssize_t n = read(FOut, chunk, sizeof chunk);
            if (n <= 0) break;
            FBuffer.append(chunk, static_cast<size_t>(n));
        }
        int status = 0;
        waitpid(FPid, &status, 0);
        FPid = -1;
        return status;
    }

    // The next line of the simulator's log; empty at the deadline or its end.
    std::string ReadLine(std::chrono::steady_clock::time_point deadline) {
        using namespace std::chrono;
        for (;;) {
            const size_t end = FBuffer.find('\n');
            if (end != std::string::npos) {
                std::string line = FBuffer.substr(0, end);
                FBuffer.erase(0, end + 1);
                return line;
            }
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{FOut, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return "";
            char chunk[512];
            const ssize_t n = read(FOut, chunk, sizeof chunk);
            if (n <= 0) return "";
            FBuffer.append(chunk, static_cast<size_t>(n));
        }
    }

    int Port = 0;
    std::string Pty;

private:
    pid_t FPid = -1;
    int FOut = -1;
    std::string FBuffer;
};
