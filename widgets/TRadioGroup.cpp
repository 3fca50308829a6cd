#include "widgets/TRadioGroup.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QVBoxLayout>

TRadioGroup::TRadioGroup(QWidget* parent)
    : QGroupBox(parent), FButtons(new QButtonGroup(this)), FLayout(new QVBoxLayout(this)) {
    FLayout->setContentsMargins(6, 4, 6, 4);
    FLayout->setSpacing(0);
    connect(FButtons, &QButtonGroup::idClicked, this, [this](int id) { Select(id); });
}

void TRadioGroup::SetItems(const QStringList& items) {
    for (QAbstractButton* b : FButtons->buttons()) delete b;
    FItems = items;
    for (int k = 0; k < items.size(); ++k) {
        auto* b = new QRadioButton(items[k], this);
        b->setObjectName(objectName() + "_" + QString::number(k));
        FButtons->addButton(b, k);
        FLayout->addWidget(b);
    }
    // New items keep the index where it still exists; no event, the choice did not change.
    if (FItemIndex >= items.size()) FItemIndex = -1;
    if (FItemIndex >= 0) FButtons->button(FItemIndex)->setChecked(true);
}

void TRadioGroup::SetItemIndex(int index) {
    if (index < -1 || index >= FItems.size()) index = -1;
    if (index == FItemIndex) return;
    if (index >= 0) {
        FButtons->button(index)->setChecked(true);
    } else if (QAbstractButton* checked = FButtons->checkedButton()) {
        FButtons->setExclusive(false);
        checked->setChecked(false);
        FButtons->setExclusive(true);
    }
    Select(index);
}

void TRadioGroup::Select(int index) {
    if (index == FItemIndex) return;
    FItemIndex = index;
    if (OnClick) OnClick(this);
}
