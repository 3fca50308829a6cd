#pragma once
// A group box of radio buttons chosen by index. Changing the index, by a click
// or by code, raises OnClick; setting the index it already has raises nothing.

#include <QGroupBox>
#include <QStringList>
#include <functional>

#include "base/Object.h"

class QButtonGroup;
class QVBoxLayout;

class TRadioGroup : public QGroupBox, public TObject {
    Q_OBJECT
    Q_PROPERTY(QStringList items READ Items WRITE SetItems)
    Q_PROPERTY(int itemIndex READ ItemIndex WRITE SetItemIndex)

public:
    explicit TRadioGroup(QWidget* parent = nullptr);

    QStringList Items() const { return FItems; }
    void SetItems(const QStringList& items);
    // -1 when no item is selected.
    int ItemIndex() const { return FItemIndex; }
    void SetItemIndex(int index);

    std::function<void(TObject* Sender)> OnClick;

private:
    void Select(int index);

    QStringList FItems;
    int FItemIndex = -1;
    QButtonGroup* FButtons;
    QVBoxLayout* FLayout;
};
