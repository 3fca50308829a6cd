#pragma once
// The rules for command inputs given as text rather than through the window's controls
// (the command line, a batch file): the model names, the number fields a frame carries
// with the values it carries for them, and one wording for an input that is refused.
// The window offers the same models and refuses the same numbers through its controls.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Frame.h"

// A model by its name in any case, blanks around it ignored: KESTREL-A, MARLIN-A or
// OSPREY-B. The two models the window keeps hidden have no name here.
std::optional<TModel> ModelOfName(std::string_view name);

// The names ModelOfName takes, in the window's order.
std::vector<std::string> ModelNames();

// "KESTREL-A, MARLIN-A or OSPREY-B".
std::string ModelNamesText();

// A number field of the command inputs and the values that reach the device as given:
// outside them the byte or word of the frame would carry another number.
struct TNumberInput {
    const char* Name;  // as an option or a column names it: "id", "packet"
    const char* Label; // "new device ID"
    int TCommandInputs::*Field;
    int Min, Max;
    const char* Why; // the reason a refusal gives; "{}" stands for "Min..Max"
};

inline constexpr TNumberInput NumberInputs[] = {
    {"id", "new device ID", &TCommandInputs::Id, 0, 255,
     "a device ID is {} (one byte in the frame, as the window sends it)"},
    {"packet", "packet number", &TCommandInputs::PacketNumber, 0, 255, "the frame carries {}"},
    {"address", "address word", &TCommandInputs::Address, 0, 65535, "the frame carries {}"},
    {"item", "command item", &TCommandInputs::CommandItem, CommandItemNone, CommandItemCount - 1,
     "a command item is -1 (none) to 8"},
    {"rw-table", "R/W table", &TCommandInputs::RwTable, 0, 255, "the frame carries {}"},
    {"table-index", "table index", &TCommandInputs::TableIndex, 0, 3, "the frame carries {}"},
    {"func1", "function 1", &TCommandInputs::Func1, 0, 255, "the frame carries {}"},
    {"func2", "function 2", &TCommandInputs::Func2, 0, 255, "the frame carries {}"},
    {"stat", "status", &TCommandInputs::Stat, 0, 255, "the frame carries {}"},
};

// The row of a field of NumberInputs.
const TNumberInput& NumberInputOf(int TCommandInputs::*field);

// The refusal's reason with the range filled in: "a device ID is 0..255 (...)".
std::string RefusalReason(const TNumberInput& input);

// The one wording of a refused input: what was given, then why, e.g.
// "id 256: a device ID is 0..255 (one byte in the frame, as the window sends it)" or
// "model HERON: unknown model; give KESTREL-A, MARLIN-A or OSPREY-B". A value that would
// not read as one word is quoted.
std::string RefusedInputText(std::string_view given, std::string_view value, std::string_view why);

// The reason a model name is refused: "unknown model; give KESTREL-A, MARLIN-A or OSPREY-B".
std::string UnknownModelReason();
