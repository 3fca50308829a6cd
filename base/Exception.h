#pragma once
// The general exception of the system: every failure that a handler may raise
// carries one message text, shown to the user as it stands.

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message), FMessage(message) {}
    // The whole message, also past a zero byte that a quoted text may carry.
    const std::string& Message() const { return FMessage; }

private:
    std::string FMessage;
};

// Message of an index or length outside its range.
inline constexpr const char* RangeCheckErrorText = "Range check error";

// Puts the number in place of the first "%d" of the format.
std::string FormatErrorNumber(const std::string& format, long number);
