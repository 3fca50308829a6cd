#pragma once
// TCSpinEdit: an edit box for a whole number with a pair of arrow buttons at its right.
//
// What the window relies on:
// 1. Value() reads the text as a decimal integer; a text that is not one is
//    replaced by MinValue (in decimal), which is the result.
// 2. SetValue limits the number to MinValue..MaxValue (no limit when the two are
//    equal), then sets the text to it in decimal.
// 3. The up arrow and the Up key write Value + Increment, the down arrow and the
//    Down key Value - Increment, through SetValue; when read-only they only beep.
//    A held arrow repeats its step after 400 ms, then every 100 ms.
// 4. On losing the focus, a value outside the range is written back limited.
// 5. Typing: an editable spin edit takes digits, '+', '-', the decimal separator
//    and control characters other than Enter; anything else beeps and is refused.
//    With EditorEnabled false every printable character, backspace, delete, cut
//    and paste are refused (with a beep): only the arrows change the value.
//    Enter is never taken: the key event goes on to the parent widgets, so the
//    window's default button gets it.
// 6. OnChange is raised whenever the text actually changes (by code, arrows,
//    keys or typing); writing the text already shown raises nothing.
// The text is "0" when created. Everything here is for the main thread.

#include <QWidget>
#include <cstdint>
#include <functional>

#include "base/Object.h"

class QLineEdit;
class QToolButton;

class TCSpinEdit : public QWidget, public TObject {
    Q_OBJECT
    Q_PROPERTY(int minValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(int maxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(int value READ Value WRITE SetValue)
    Q_PROPERTY(int increment READ Increment WRITE SetIncrement)
    Q_PROPERTY(bool editorEnabled READ EditorEnabled WRITE SetEditorEnabled)
    Q_PROPERTY(bool readOnly READ ReadOnly WRITE SetReadOnly)
    Q_PROPERTY(QString text READ Text WRITE SetText)

public:
    explicit TCSpinEdit(QWidget* parent = nullptr);

    // Rule 1: may rewrite the text (and raise OnChange) when it is not a number.
    int32_t Value();
    // Rule 2.
    void SetValue(int32_t value);

    // Stored as given; neither setter touches the text.
    int32_t MinValue() const { return FMinValue; }
    void SetMinValue(int32_t value) { FMinValue = value; }
    int32_t MaxValue() const { return FMaxValue; }
    void SetMaxValue(int32_t value) { FMaxValue = value; }
    int32_t Increment() const { return FIncrement; }
    void SetIncrement(int32_t value) { FIncrement = value; }

    bool EditorEnabled() const { return FEditorEnabled; }
    void SetEditorEnabled(bool value);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool value);

    QString Text() const;
    // Raises OnChange when the text differs from the one shown.
    void SetText(const QString& text);

    // The inner edit box (focus proxy of this widget) and the two arrow buttons.
    QLineEdit* Editor() const { return FEditor; }
    QToolButton* UpButton() const { return FUpButton; }
    QToolButton* DownButton() const { return FDownButton; }

    // Raised with the spin edit as Sender. When the change comes from the
    // program's own call (SetValue, SetText, Value), an exception raised by the
    // handler travels back to that caller; for changes made by the user it is
    // caught and reported by the exception guard.
    std::function<void(TObject* Sender)> OnChange;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // Emitted after OnChange, for every change that raises it.
    void changed();
    // Emitted whenever the control refuses something with a beep.
    void beeped();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Step(int64_t delta);
    void Beep();
    void UpdateEditorReadOnly();
    bool FilterKey(class QKeyEvent* event);
    bool IsValidChar(char16_t ch) const;
    int32_t Limited(int64_t value) const;

    QLineEdit* FEditor;
    QToolButton* FUpButton;
    QToolButton* FDownButton;
    int32_t FMinValue = 0;
    int32_t FMaxValue = 0;
    int32_t FIncrement = 1;
    bool FEditorEnabled = true;
    bool FReadOnly = false;
    // True while this control sets the editor's text itself.
    bool FSettingText = false;
};
