#include "widgets/TCSpinEdit.h"

#include <QApplication>
#include <QBoxLayout>
#include <QEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QLocale>
#include <QToolButton>
#include <limits>

#include "base/Convert.h"
#include "toolkit/ExceptionReport.h"

namespace {

constexpr int ButtonWidth = 15;
constexpr int ButtonPairHeight = 17;
constexpr int RepeatDelay = 400;
constexpr int RepeatInterval = 100;

QToolButton* MakeArrowButton(QWidget* parent, Qt::ArrowType arrow, const char* name) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setArrowType(arrow);
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoRepeat(true);
    button->setAutoRepeatDelay(RepeatDelay);
    button->setAutoRepeatInterval(RepeatInterval);
    button->setFixedWidth(ButtonWidth);
    button->setMinimumHeight(1);
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
    button->resize(ButtonWidth, ButtonPairHeight / 2);
    return button;
}

} // namespace

TCSpinEdit::TCSpinEdit(QWidget* parent)
    : QWidget(parent), FEditor(new QLineEdit(QStringLiteral("0"), this)),
      FUpButton(MakeArrowButton(this, Qt::UpArrow, "upButton")),
      FDownButton(MakeArrowButton(this, Qt::DownArrow, "downButton")) {
    FEditor->setObjectName(QStringLiteral("editor"));
    setFocusProxy(FEditor);
    setFocusPolicy(FEditor->focusPolicy());
    setSizePolicy(FEditor->sizePolicy());

    auto* buttons = new QVBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(0);
    buttons->addWidget(FUpButton, 1);
    buttons->addWidget(FDownButton, 1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(FEditor, 1);
    layout->addLayout(buttons);

    FEditor->installEventFilter(this);
    // Changes that the user makes in the edit box; the control's own changes raise OnChange directly.
    connect(FEditor, &QLineEdit::textChanged, this, Guarded([this] {
                if (FSettingText) return;
                if (OnChange) OnChange(this);
                emit changed();
            }));
    connect(FUpButton, &QToolButton::clicked, this, Guarded([this] { Step(FIncrement); }));
    connect(FDownButton, &QToolButton::clicked, this, Guarded([this] { Step(-int64_t{FIncrement}); }));
}

QSize TCSpinEdit::sizeHint() const {
    const QSize edit = FEditor->sizeHint();
    return {edit.width() + ButtonWidth, std::max(edit.height(), ButtonPairHeight)};
}

QSize TCSpinEdit::minimumSizeHint() const {
    const QSize edit = FEditor->minimumSizeHint();
    return {edit.width() + ButtonWidth, std::max(edit.height(), ButtonPairHeight)};
}

QString TCSpinEdit::Text() const {
    return FEditor->text();
}

void TCSpinEdit::SetText(const QString& text) {
    if (FEditor->text() == text) return;
    FSettingText = true;
    FEditor->setText(text);
    FSettingText = false;
    if (OnChange) OnChange(this);
    emit changed();
}

int32_t TCSpinEdit::Value() {
    if (const auto value = TryStrToInt(FEditor->text().toStdString())) return *value;
    SetText(QString::number(FMinValue));
    return FMinValue;
}

int32_t TCSpinEdit::Limited(int64_t value) const {
    if (FMinValue != FMaxValue) {
        if (value < FMinValue) return FMinValue;
        if (value > FMaxValue) return FMaxValue;
    }
    // Unlimited, the number wraps at 32 bits.
    return static_cast<int32_t>(value);
}

void TCSpinEdit::SetValue(int32_t value) {
    SetText(QString::number(Limited(value)));
}

void TCSpinEdit::Step(int64_t delta) {
    if (FReadOnly) {
        Beep();
        return;
    }
    SetText(QString::number(Limited(int64_t{Value()} + delta)));
}

void TCSpinEdit::Beep() {
    QApplication::beep();
    emit beeped();
}

void TCSpinEdit::SetEditorEnabled(bool value) {
    FEditorEnabled = value;
    UpdateEditorReadOnly();
}

void TCSpinEdit::SetReadOnly(bool value) {
    FReadOnly = value;
    UpdateEditorReadOnly();
}

void TCSpinEdit::UpdateEditorReadOnly() {
    // A read-only edit box also refuses pasting by mouse, drops and the context menu's edits.
    FEditor->setReadOnly(FReadOnly || !FEditorEnabled);
}

bool TCSpinEdit::IsValidChar(char16_t ch) const {
    if (ch == u'\r') return false;
    if (ch == 8) return FEditorEnabled;
    if (ch < 32) return true;
    if (!FEditorEnabled) return false;
    if ((ch >= u'0' && ch <= u'9') || ch == u'+' || ch == u'-') return true;
    const QString separator = QLocale().decimalPoint();
    return !separator.isEmpty() && ch == separator.front().unicode();
}

bool TCSpinEdit::FilterKey(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        // Not taken: the event goes on to the parents and the default button.
        event->ignore();
        return true;
    }
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
        RunGuarded([&] { Step(key == Qt::Key_Up ? int64_t{FIncrement} : -int64_t{FIncrement}); });
        return true;
    }
    if (!FEditorEnabled) {
        if (key == Qt::Key_Backspace || key == Qt::Key_Delete || event->matches(QKeySequence::Cut) ||
            event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Delete)) {
            Beep();
            return true;
        }
    }
    if (key == Qt::Key_Delete) return false;
    const QString text = event->text();
    if (text.isEmpty()) return false;
    const char16_t ch = key == Qt::Key_Backspace ? char16_t{8} : text.front().unicode();
    if (IsValidChar(ch)) return false;
    Beep();
    return true;
}

bool TCSpinEdit::eventFilter(QObject* watched, QEvent* event) {
    if (watched != FEditor) return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress:
        return FilterKey(static_cast<QKeyEvent*>(event));
    case QEvent::InputMethod: {
        // Composed text must obey the same character rule as typed keys.
        const auto* im = static_cast<QInputMethodEvent*>(event);
        for (QChar ch : im->commitString()) {
            if (!IsValidChar(ch.unicode())) {
                Beep();
                return true;
            }
        }
        return false;
    }
    case QEvent::FocusOut:
        RunGuarded([this] {
            const int64_t value = Value();
            if (Limited(value) != value) SetValue(static_cast<int32_t>(value));
        });
        return false;
    default:
        return false;
    }
}
