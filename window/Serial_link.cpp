// The link controls of the top bar: COM or TCP, port number, baud rate, parity, open/close.

#include <QMessageBox>
#include <optional>

#include "base/Convert.h"
#include "comm/LineSettings.h"
#include "comm/SerialPorts.h"
#include "toolkit/ExceptionReport.h"
#include "window/Serial_main.h"

namespace {

// The rate button steps through BaudCycle; its caption ("19200bps") says which rate Comm1 has.
QString BaudCaption(const TLineBaud& step) {
    return QString::number(step.Rate) + QLatin1String("bps");
}

// The port text as a TCP port. A text that is no number, or one outside 1..65535,
// gives none: cut to 16 bits it would connect to some other port.
std::optional<uint16_t> TcpPortOf(const QString& text) {
    const std::optional<int32_t> port = TryStrToInt(text.toStdString());
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    return static_cast<uint16_t>(*port);
}

} // namespace

void TForm1::RadioButton1Click(TObject*) {
    SetVisible({Label6, Label7, Edit3, Edit4}, false);
    SetVisible({Label1, CSpinEdit1, btnBaudRate, LB_ComDevice}, true);
}

void TForm1::RadioButton2Click(TObject*) {
    SetVisible({Label1, CSpinEdit1, btnBaudRate, LB_ComDevice}, false);
    SetVisible({Label6, Label7, Edit3, Edit4}, true);
}

void TForm1::CSpinEdit1Change(TObject*) {
    ComDeviceName = "Com" + std::to_string(CSpinEdit1->Value());
    ShowComDevice();
}

void TForm1::ShowComDevice() {
    // While open the label names the device in use, even when adapters coming and
    // going have moved the numbering meanwhile.
    const std::string path = Comm1->Enabled() ? FPortPath : ResolveDeviceName(ComDeviceName, FPortLister());
    LB_ComDevice->setText(path.empty() ? QStringLiteral("(no port)") : QString::fromStdString(path));
}

void TForm1::btnBaudRateClick(TObject*) {
    const QString shown = btnBaudRate->text();
    for (const TLineBaud& step : BaudCycle) {
        if (shown == BaudCaption(step)) {
            const TLineBaud& next = NextBaudStep(step);
            btnBaudRate->setText(BaudCaption(next));
            Comm1->SetBaudRate(next.Value);
            return;
        }
    }
}

void TForm1::cbParityChange(TObject*) {
    const int index = cbParity->currentIndex();
    // The list's items are LineParities in order.
    if (index >= 0 && index < static_cast<int>(std::size(LineParities)))
        Comm1->SetParity(LineParities[index].ComponentValue);
}

void TForm1::Data_EncryptClick(TObject*) {}

std::string TForm1::PortText() const {
    const std::string& name = Comm1->DeviceName();
    if (FPortPath.empty() || FPortPath == name) return name;
    return name + " (" + FPortPath + ")";
}

void TForm1::ClosePort() {
    Comm1->Close();
    BB_SendData->setEnabled(Comm1->Enabled());
    CSpinEdit1->setEnabled(!Comm1->Enabled());
    BB_PortSwitch->setText("Open");
    btnBaudRate->setEnabled(true);
    RadioButton1->setEnabled(true);
    RadioButton2->setEnabled(true);
    ShowComDevice();
}

void TForm1::Comm1DeviceLost(TObject*) {
    WriteLog(PortText() + " lost: the device was unplugged or closed");
    ClosePort();
}

void TForm1::BB_PortSwitchClick(TObject*) {
    if (RadioButton1->isChecked()) {
        if (Comm1->Enabled()) {
            ClosePort();
            if (!Comm1->Enabled()) WriteLog("Close " + Comm1->DeviceName() + " OK");
        } else {
            Comm1->SetDeviceName(ComDeviceName);
            FPortPath = ResolveDeviceName(ComDeviceName, FPortLister());
            Comm1->Open();
            // Told before SetRTSState raises "Port not open", so the user learns why.
            if (!Comm1->Enabled()) WriteLog(OpenFailureReason(PortText(), Comm1->OpenError()));
            Comm1->SetRTSState(true);
            Comm1->SetDTRState(true);
            BB_PortSwitch->setText("Close");
            BB_SendData->setEnabled(Comm1->Enabled());
            CSpinEdit1->setEnabled(!Comm1->Enabled());
            if (Comm1->Enabled()) WriteLog("Open " + Comm1->DeviceName() + " OK");
            btnBaudRate->setEnabled(false);
            RadioButton1->setEnabled(false);
            RadioButton2->setEnabled(false);
        }
        return;
    }
    if (ClientSocket1->Active()) {
        ClientSocket1->Socket()->Close();
        BB_PortSwitch->setText("Open");
        RadioButton1->setEnabled(true);
        RadioButton2->setEnabled(true);
    } else if (const auto port = TcpPortOf(Edit4->text()); !Edit3->text().isEmpty() && port) {
        BB_PortSwitch->setText("Close");
        ClientSocket1->SetHost(Edit3->text());
        ClientSocket1->SetPort(*port);
        ClientSocket1->Open();
        RadioButton1->setEnabled(false);
        RadioButton2->setEnabled(false);
    } else {
        ShowMessageBox("IP 或埠號錯誤", "error!");
    }
}
