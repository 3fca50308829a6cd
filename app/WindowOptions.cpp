#include "app/WindowOptions.h"

TOptionTable WindowOptionTable() {
    TOptionTable table = {
        TextOption("port", "PATH", "a serial device to list first (Com1 is the first one given)"),
        TextOption("round-trip", "PICTURE.png",
                   "Set_ID (KESTREL-A, ID 5) over TCP to the host and port shown, print the log, save a "
                   "picture of the window, and end: exit code 0 when SetID_OK was logged"),
        FlagOption("version", "print the program's name and version"),
    };
    table[0].Repeatable = true;
    return table;
}

std::string WindowUsage(const TOptionTable& table) {
    return "usage: kaldora [--port PATH]... [--round-trip PICTURE.png] [Qt options]\n" +
           OptionsHelpText({table});
}
