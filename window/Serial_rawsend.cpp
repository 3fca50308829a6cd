// The raw send panel: text and hexadecimal sends, repeated sends, clearing the log.
//
// Every send builds its bytes in a buffer sized to the input, so a text of any
// length goes out whole (the fixed 10,240-byte area of old would cut or overrun it).

#include "base/Convert.h"
#include "base/Exception.h"
#include "window/DeviceText.h"
#include "window/Serial_main.h"

namespace {

std::string SentLine(int n) { return "傳送出" + std::to_string(n) + "個位元組"; }

// The repeat interval of Edit2 in milliseconds. Raises the conversion error for a
// text that is not a decimal integer, and names the value when it is negative
// (it would otherwise become an interval of some 49 days).
unsigned RepeatInterval(const QString& text) {
    const std::string shown = text.toStdString();
    const int32_t ms = StrToInt(shown);
    if (ms < 0) throw Exception("Repeat interval '" + shown + "' ms is negative; give 0 or more milliseconds");
    return static_cast<unsigned>(ms);
}

// The bytes of Edit1's hexadecimal text, read in the window's code page.
std::vector<uint8_t> HexBytes(const QLineEdit& edit) { return ParseHexText(DeviceBytes(edit.text())); }

} // namespace

void TForm1::BB_SendDataClick(TObject*) {
    if (!Comm1->Enabled()) {
        WriteLog("請先開啟串列埠!");
        return;
    }
    std::string line = DeviceBytes(Edit1->text());
    line.push_back('\r');
    const int n = Comm1->Write(line.data(), line.size());
    if (ShowCommEvent->isChecked()) WriteLog(SentLine(n));
}

void TForm1::BB_SendBinClick(TObject*) {
    const bool com = RadioButton1->isChecked();
    if (com && !Comm1->Enabled()) {
        WriteLog("Open Comport first!");
        return;
    }
    if (!com && !ClientSocket1->Active()) {
        WriteLog("Open TCP/IP first!");
        return;
    }
    if (!CheckBox1->isChecked()) {
        const std::vector<uint8_t> bytes = HexBytes(*Edit1);
        const char* data = bytes.empty() ? "" : reinterpret_cast<const char*>(bytes.data());
        const int n = com ? Comm1->Write(data, bytes.size())
                          : ClientSocket1->Socket()->SendBuf(data, static_cast<int>(bytes.size()));
        if (ShowCommEvent->isChecked()) WriteLog(SentLine(n));
        return;
    }
    // Read before the buttons change: a bad interval leaves the panel idle, not
    // showing a repetition that never runs.
    const unsigned interval = RepeatInterval(Edit2->text());
    BB_SendBin->setEnabled(false);
    Button1->setEnabled(true);
    Timer1->SetInterval(interval);
    Timer1->SetEnabled(true); // the first send is the first tick
}

void TForm1::Timer1Timer(TObject*) {
    if (RadioButton1->isChecked()) {
        if (Comm1->Enabled()) {
            const std::vector<uint8_t> bytes = HexBytes(*Edit1);
            const int n = Comm1->Write(bytes.empty() ? "" : reinterpret_cast<const char*>(bytes.data()), bytes.size());
            if (ShowCommEvent->isChecked()) WriteLog("Write out: " + std::to_string(n));
        } else {
            WriteLog("Open Comport first!");
        }
    } else if (ClientSocket1->Active()) {
        const std::vector<uint8_t> bytes = HexBytes(*Edit1);
        const int n = ClientSocket1->Socket()->SendBuf(bytes.data(), static_cast<int>(bytes.size()));
        if (ShowCommEvent->isChecked()) WriteLog(SentLine(n));
    } else {
        WriteLog("Open TCP/IP first!");
    }
    // A bad interval text ends the repetition and is reported once, not at every tick.
    unsigned interval = 0;
    try {
        interval = RepeatInterval(Edit2->text());
    } catch (const Exception&) {
        Button1Click(nullptr);
        throw;
    }
    Timer1->SetInterval(interval); // unchanged: the countdown goes on; changed: it restarts
}

void TForm1::Button1Click(TObject*) {
    Timer1->SetEnabled(false);
    BB_SendBin->setEnabled(true);
    Button1->setEnabled(false);
}

// Both clear the log by hand; LogLength is the automatic clear's count and stays.
void TForm1::BB_ClearClick(TObject*) { Memo1->clear(); }

void TForm1::Button4Click(TObject*) { Memo1->clear(); }
