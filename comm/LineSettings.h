#pragma once
// The line settings a user picks by name: the parities, and the baud rates in the order
// the window's rate button steps through them. Shared by the window and the command line,
// so both hand the component the same values.

#include <cstddef>

#include "comm/Comm.h"

struct TLineParity {
    const char* Name;       // as the command line takes it: "odd"
    TParity Line;           // the parity the line carries
    TParity ComponentValue; // what to pass TComm::SetParity for it
};

// In the order of the window's parity list. The component sends paOdd as even parity and
// paEven as odd, so odd and even pass each other's value.
inline constexpr TLineParity LineParities[] = {
    {"none", paNone, paNone}, {"odd", paOdd, paEven},      {"even", paEven, paOdd},
    {"mark", paMark, paMark}, {"space", paSpace, paSpace},
};

// The value to pass TComm::SetParity for the line to carry lineParity.
constexpr TParity ComponentParity(TParity lineParity) {
    for (const TLineParity& p : LineParities)
        if (p.Line == lineParity) return p.ComponentValue;
    return lineParity;
}

struct TLineBaud {
    unsigned long Rate; // bits per second
    TBaudRate Value;    // for TComm::SetBaudRate
};

// The rates offered, in the window's cycle: each click takes the next, after 115200 comes 2400.
inline constexpr TLineBaud BaudCycle[] = {
    {2400, br2400},   {4800, br4800},   {9600, br9600},     {19200, br19200},
    {38400, br38400}, {57600, br57600}, {115200, br115200},
};
inline constexpr size_t BaudCycleLength = sizeof BaudCycle / sizeof BaudCycle[0];

// The step of the cycle with the rate, or nullptr when the cycle has none.
constexpr const TLineBaud* BaudStepOf(unsigned long rate) {
    for (const TLineBaud& step : BaudCycle)
        if (step.Rate == rate) return &step;
    return nullptr;
}

// The step after step in the cycle.
constexpr const TLineBaud& NextBaudStep(const TLineBaud& step) {
    const size_t k = static_cast<size_t>(&step - BaudCycle);
    return BaudCycle[(k + 1) % BaudCycleLength];
}

static_assert(ComponentParity(paOdd) == paEven && ComponentParity(paEven) == paOdd);
static_assert(NextBaudStep(*BaudStepOf(115200)).Rate == 2400 && BaudStepOf(1200) == nullptr);
