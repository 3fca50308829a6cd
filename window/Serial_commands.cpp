// The device commands: model choice, command inputs, Set_ID, the ELN commands.

#include <QStringEncoder>

#include "window/Serial_main.h"

namespace {

// Texts reach the device in the window's code page, Big5; ASCII is the same either way.
std::string DeviceBytes(const QString& text) {
    QStringEncoder big5("Big5");
    if (!big5.isValid()) return text.toStdString();
    const QByteArray bytes = big5.encode(text);
    return bytes.toStdString();
}

} // namespace

TCommandInputs TForm1::CommandInputs() {
    TCommandInputs in;
    in.Model = RadioButton3->isChecked()   ? TModel::KestrelA
               : RadioButton4->isChecked() ? TModel::Model19
               : RadioButton5->isChecked() ? TModel::MarlinA
               : RadioButton6->isChecked() ? TModel::KestrelASpare
               : RadioButton7->isChecked() ? TModel::OspreyB
                                           : TModel::None;
    in.PacketNumber = SE_01->Value();
    in.Address = SE_02->Value();
    in.Id = CSpinEdit5->Value();
    in.SerialText = DeviceBytes(Edit7->text());
    in.ElnText = DeviceBytes(Edit6->text());
    in.AutoText = DeviceBytes(Edit5->text());
    in.CommandItem = rgCommand->ItemIndex();
    in.DataText = ED_20->text().toStdString();
    in.RwTable = SE_13->Value();
    in.TableIndex = SE_15->Value();
    in.Func1 = CSpinEdit2->Value();
    in.Func2 = CSpinEdit3->Value();
    in.Stat = CSpinEdit4->Value();
    in.Encrypt = Data_Encrypt->isChecked();
    return in;
}

void TForm1::SendCommand(TCommandKind kind) {
    // The awaited answer is set first: it stays so even when the inputs are refused.
    ReplyKind = ReplyKindOf(kind);
    TCommandInputs in = CommandInputs();
    in.Kind = kind;
    CompleteAndSend(BuildCommandFrame(in, CipherState));
}

void TForm1::CompleteAndSend(const std::vector<uint8_t>& frame) {
    // The link's result is not looked at: an unanswered command shows as "Error" when Timer4 expires.
    if (Comm1->Enabled())
        Comm1->Write(reinterpret_cast<const char*>(frame.data()), frame.size());
    else
        ClientSocket1->Socket()->SendBuf(frame.data(), static_cast<int>(frame.size()));
    Timer4->SetEnabled(true);
    Edit1->setText(QString());
    Edit1->setText(QString::fromStdString(FormatFrameHex(frame.data(), frame.size())));
    if (ckAutoInc->isChecked()) SE_01->SetValue(SE_01->Value() == 255 ? 0 : SE_01->Value() + 1);
}

void TForm1::BitBtn1Click(TObject*) { SendCommand(TCommandKind::SetId); }

void TForm1::Button2Click(TObject*) { SendCommand(TCommandKind::SetEln); }

void TForm1::Button3Click(TObject*) { SendCommand(TCommandKind::ReadEln); }

void TForm1::Edit5KeyUp(TObject*) { SendCommand(TCommandKind::AutoEln); }

void TForm1::RadioButton3Click(TObject*) {
    SetVisible({Label12, Edit7, SE_02, CSpinEdit2, CSpinEdit3, CSpinEdit4, Label8, Label9, Label10, SE_13}, false);
    rgCommand->SetItemIndex(CommandItemHwWrite);
    ED_20->setText(QString());
    Edit7->setText("0");
    // OSPREY-B takes its address from the serial text typed over the "0".
    if (RadioButton7->isChecked()) SetVisible({Label12, Edit7}, true);
}

void TForm1::RadioButton4Click(TObject*) {
    SetVisible({Edit7, Label12, SE_02}, false);
    Edit7->setText("0");
    SetEnabled({CSpinEdit2, Label8, CSpinEdit3, CSpinEdit4, Label9, Label10}, false);
    rgCommand->SetItemIndex(CommandItem20h);
    ED_20->setText(QString::fromLatin1(ModelDataText.data(), static_cast<int>(ModelDataText.size())));
}

void TForm1::rgCommandClick(TObject*) {
    SetEnabled({LB_12, SE_12, LB_15, LB_16, LB_17, LB_18, LB_20, SE_15, SE_16, SE_17, SE_18, ED_20, CSpinEdit2,
                Label8, CSpinEdit3, CSpinEdit4, Label9, Label10},
               false);
    switch (rgCommand->ItemIndex()) {
    case 0:
        SetEnabled({CSpinEdit4, Label10}, true);
        SetEnabled({LB_13, SE_13}, false);
        break;
    case 1:
        SetEnabled({LB_13, SE_13}, true);
        break;
    case 2:
    case 7:
        SetEnabled({LB_13, SE_13, LB_20, ED_20}, true);
        break;
    case 3:
        SetEnabled({LB_15, SE_15}, true);
        SetEnabled({LB_13, SE_13}, false);
        break;
    case 4:
        SetEnabled({LB_13, SE_13}, false);
        break;
    case 5:
        SetEnabled({CSpinEdit2, Label8, LB_20, ED_20}, true);
        SetEnabled({LB_13, SE_13}, false);
        break;
    case 6:
        SetEnabled({CSpinEdit3, Label9, LB_20, ED_20}, true);
        SetEnabled({LB_13, SE_13}, false);
        break;
    default:
        break;
    }
}

void TForm1::SE_11Change(TObject*) {
    const bool wide = SE_11->Value() != 1;
    for (TCSpinEdit* s : {SE_13, SE_15, SE_16, SE_17}) {
        s->SetMaxValue(wide ? 65535 : 255);
        if (!wide && s->Value() >= 256) s->SetValue(255);
    }
}

void TForm1::SE_12Change(TObject*) { SetEnabled({SE_14, LB_14}, SE_12->Value() == 2); }
