// The raw send panel: text and hexadecimal sends, repeated sends, clearing the log.

#include "window/Serial_main.h"

void TForm1::BB_SendDataClick(TObject*) {}

void TForm1::BB_SendBinClick(TObject*) {}

void TForm1::Timer1Timer(TObject*) {}

void TForm1::Button1Click(TObject*) {}

void TForm1::BB_ClearClick(TObject*) {}

void TForm1::Button4Click(TObject*) {}
