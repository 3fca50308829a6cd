#include "base/Exception.h"

std::string FormatErrorNumber(const std::string& format, long number) {
    std::string text = format;
    const auto at = text.find("%d");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(number));
    return text;
}
