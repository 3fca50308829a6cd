// The receive side: serial and socket events, the deferred read and the result check.

#include "window/Serial_main.h"

void TForm1::Comm1RxChar(TObject*, unsigned long) {}

void TForm1::ClientSocket1Lookup(TObject*, TClientWinSocket*) { WriteLog("TCP/IP Lookup !!"); }

void TForm1::ClientSocket1Connecting(TObject*, TClientWinSocket*) { WriteLog("TCP/IP Connecting..."); }

void TForm1::ClientSocket1Connect(TObject*, TClientWinSocket*) { WriteLog("TCP/IP Connected !"); }

void TForm1::ClientSocket1Disconnect(TObject*, TClientWinSocket*) { WriteLog("TCP/IP Disconnected"); }

// The error code is left as it came, so the client goes on to report its own error.
void TForm1::ClientSocket1Error(TObject*, TClientWinSocket*, TErrorEvent&, int&) { WriteLog("TCP/IP Error !!"); }

void TForm1::ClientSocket1Read(TObject*, TClientWinSocket*) {}

void TForm1::Timer2Timer(TObject*) {}

void TForm1::Timer3Timer(TObject*) {}

void TForm1::Timer4Timer(TObject*) {}
