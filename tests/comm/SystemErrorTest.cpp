#include "comm/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

TEST(ClassifySystemError, GivesEachErrorNumberItsMeaning) {
    struct Row {
        const char* name;
        int error;
        TSystemError kind;
    } rows[] = {
        {"missing path", ENOENT, seNoSuchDevice},
        {"no device behind the node", ENODEV, seNoSuchDevice},
        {"no such address", ENXIO, seNoSuchDevice},
        {"busy", EBUSY, seInUse},
        {"locked by another process", EAGAIN, seInUse},
        {"no access", EACCES, sePermission},
        {"not permitted", EPERM, sePermission},
        {"no terminal", ENOTTY, seNotSerialPort},
        {"peer reset", ECONNRESET, seGone},
        {"broken pipe", EPIPE, seGone},
        {"refused", ECONNREFUSED, seRefused},
        {"no route to host", EHOSTUNREACH, seUnreachable},
        {"network unreachable", ENETUNREACH, seUnreachable},
        {"host down", EHOSTDOWN, seUnreachable},
        {"timed out", ETIMEDOUT, seTimedOut},
        {"input/output error", EIO, seOther},
        {"no error", 0, seOther},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ClassifySystemError(r.error), r.kind) << r.name;
}

// Every kind has words of its own, so no two faults read alike.
TEST(SystemErrorText, EveryKindHasDistinctWords) {
    std::set<std::string> seen;
    for (int k = seNoSuchDevice; k <= seOther; ++k) {
        const std::string text = SystemErrorText(static_cast<TSystemError>(k));
        EXPECT_FALSE(text.empty()) << k;
        EXPECT_TRUE(seen.insert(text).second) << text;
    }
}
