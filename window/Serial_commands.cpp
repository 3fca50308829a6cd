// The device commands: model choice, command inputs, Set_ID, the ELN commands.

#include <optional>

#include "base/Convert.h"
#include "window/DeviceText.h"
#include "base/Exception.h"
#include "window/Serial_main.h"

namespace {

const char* CommandName(TCommandKind kind) {
    switch (kind) {
    case TCommandKind::SetId:
        return "Set_ID";
    case TCommandKind::SetEln:
        return "Set_ELN";
    case TCommandKind::ReadEln:
        return "Read_ELN";
    case TCommandKind::AutoEln:
        return "AutoELN";
    }
    return "";
}

// A number field that a command puts into its frame, with the largest value its
// byte (255) or word (65535) carries.
struct TCarriedNumber {
    TCSpinEdit* Edit;
    const char* Field;
    int32_t Largest;
};

// The number fields of the frame a command builds: the header's packet number and
// address, and the payload field of the selected command item.
std::vector<TCarriedNumber> CarriedNumbers(TForm1& f, TCommandKind kind) {
    std::vector<TCarriedNumber> numbers = {{f.SE_01, "Pack No", 255}, {f.SE_02, "ADDR", 65535}};
    if (kind == TCommandKind::ReadEln) return numbers;
    const TCarriedNumber id{f.CSpinEdit5, "ID", 255};
    switch (f.rgCommand->ItemIndex()) {
    case 0:
        numbers.push_back({f.CSpinEdit4, "Stat", 255});
        break;
    case 1:
    case 7:
        numbers.push_back({f.SE_13, "R/W Tab", 255});
        break;
    case 2:
        if (kind == TCommandKind::SetId) numbers.push_back(id);
        break;
    case 3:
        numbers.push_back({f.SE_15, "Table Idx", 255});
        break;
    case 5:
        numbers.push_back({f.CSpinEdit2, "Func 1", 255});
        break;
    case 6:
        numbers.push_back({f.CSpinEdit3, "Func 2", 255});
        break;
    case 8:
        numbers.push_back(id);
        break;
    default:
        break;
    }
    return numbers;
}

bool IsDigitsOnly(std::string_view text) {
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return false;
    text.remove_prefix(start);
    if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Why the text shown in a number field cannot go out as it stands, or nothing when
// it can. The text is read, not Value(): that would put MinValue in place of a text
// that is no number, and the byte would cut a number beyond it.
std::optional<std::string> Refusal(const TCarriedNumber& n) {
    const std::string text = n.Edit->Text().toStdString();
    int32_t low = 0;
    int32_t high = n.Largest;
    if (n.Edit->MinValue() != n.Edit->MaxValue()) {
        low = std::max(low, n.Edit->MinValue());
        high = std::min(high, n.Edit->MaxValue());
    }
    const std::optional<int32_t> value = TryStrToInt(text);
    if (value && *value >= low && *value <= high) return std::nullopt;
    if (value || IsDigitsOnly(text))
        return std::string(n.Field) + " " + text + " is out of range " + std::to_string(low) + ".." +
               std::to_string(high);
    return std::string(n.Field) + " '" + text + "' is not a number";
}

// Which of the texts the builder refused, and why.
std::string RefusedInput(const TCommandInputs& in) {
    if ((in.Kind == TCommandKind::SetEln || in.Kind == TCommandKind::AutoEln) && in.ElnText.size() < 3)
        return "the ELN '" + in.ElnText + "' needs at least 3 characters";
    if (in.Kind == TCommandKind::SetId && in.Model == TModel::OspreyB)
        return "the serial number '" + in.SerialText + "' gives no address (digits as in 23A1705)";
    return "the data is more than one frame carries (65535 bytes)";
}

// Puts into the command controls what a click on the model's button leaves in the command
// inputs. The rule is the builder's, so the window and the command line cannot drift apart.
void ShowModelSelection(TForm1& f, TModel model) {
    TCommandInputs in;
    ApplyModelSelection(in, model);
    f.rgCommand->SetItemIndex(in.CommandItem);
    f.ED_20->setText(QString::fromStdString(in.DataText));
    f.Edit7->setText(QString::fromStdString(in.SerialText));
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
    // What goes out is the number the user sees, or nothing: no field is cut to its byte.
    for (const TCarriedNumber& number : CarriedNumbers(*this, kind)) {
        if (const std::optional<std::string> why = Refusal(number)) {
            WriteLog(std::string(CommandName(kind)) + ": " + *why + "; nothing sent");
            return;
        }
    }
    TCommandInputs in = CommandInputs();
    in.Kind = kind;
    std::vector<uint8_t> frame;
    try {
        frame = BuildCommandFrame(in, CipherState);
    } catch (const Exception&) {
        // The builder's own message is reported as it stands; the log says which input and why.
        WriteLog(std::string(CommandName(kind)) + ": " + RefusedInput(in) + "; nothing sent");
        throw;
    }
    CompleteAndSend(frame);
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
    ShowModelSelection(*this, RadioButton7->isChecked()   ? TModel::OspreyB
                              : RadioButton6->isChecked() ? TModel::KestrelASpare
                                                          : TModel::KestrelA);
    // OSPREY-B takes its address from the serial text typed over the "0".
    if (RadioButton7->isChecked()) SetVisible({Label12, Edit7}, true);
}

void TForm1::RadioButton4Click(TObject*) {
    SetVisible({Edit7, Label12, SE_02}, false);
    SetEnabled({CSpinEdit2, Label8, CSpinEdit3, CSpinEdit4, Label9, Label10}, false);
    ShowModelSelection(*this, RadioButton4->isChecked() ? TModel::Model19 : TModel::MarlinA);
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
