#pragma once
// A Set_ID round trip through the window's own controls, for a machine without
// a display: TCP to the host and port the window shows, Open, KESTREL-A, ID 5,
// Set_ID. Prints the log lines, saves a picture of the window, and ends the
// application with 0 when "SetID_OK" was logged, 1 otherwise.

#include <QString>

class TForm1;

// Starts the round trip on the running event loop; form must outlive it.
void StartRoundTrip(TForm1& form, const QString& screenshotPath);
