#pragma once
// Text-to-integer conversion used wherever a control's text is read as a number.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Reads a signed 32-bit decimal integer: optional leading blanks, an optional
// sign, then digits only, nothing after them. Empty text, other characters or a
// value beyond 32 bits give no value.
std::optional<int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt; raises Exception "'<text>' is not a valid integer value" on failure.
int32_t StrToInt(std::string_view text);

// The conversion error's message for a text.
std::string InvalidIntegerMessage(std::string_view text);
