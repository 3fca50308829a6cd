#include <QRadioButton>
#include <gtest/gtest.h>

#include "widgets/TRadioGroup.h"

namespace {

struct RadioGroupTest : testing::Test {
    RadioGroupTest() {
        Group.setObjectName("rg");
        Group.SetItems({"a", "b", "c"});
        Group.OnClick = [this](TObject*) { Clicks.push_back(Group.ItemIndex()); };
    }
    QRadioButton* Item(int k) { return Group.findChild<QRadioButton*>("rg_" + QString::number(k)); }

    TRadioGroup Group;
    std::vector<int> Clicks;
};

} // namespace

TEST_F(RadioGroupTest, IndexChangesByCodeOrClickRaiseOneClickEach) {
    EXPECT_EQ(Group.ItemIndex(), -1);
    Group.SetItemIndex(2);
    EXPECT_TRUE(Item(2)->isChecked());
    Group.SetItemIndex(2); // the same index: nothing
    Item(0)->click();
    EXPECT_EQ(Group.ItemIndex(), 0);
    Item(0)->click(); // the item already chosen: nothing
    EXPECT_EQ(Clicks, std::vector<int>({2, 0}));
}

TEST_F(RadioGroupTest, NoSelectionUnchecksEveryItemAndOutOfRangeMeansNone) {
    Group.SetItemIndex(1);
    Group.SetItemIndex(-1);
    for (int k = 0; k < 3; ++k) EXPECT_FALSE(Item(k)->isChecked());
    Group.SetItemIndex(7);
    EXPECT_EQ(Group.ItemIndex(), -1);
    EXPECT_EQ(Clicks, std::vector<int>({1, -1}));
}

TEST_F(RadioGroupTest, NewItemsKeepAnIndexThatStillExists) {
    Group.SetItemIndex(1);
    Group.SetItems({"x", "y"});
    EXPECT_EQ(Group.ItemIndex(), 1);
    EXPECT_TRUE(Item(1)->isChecked());
    Group.SetItems({"only"});
    EXPECT_EQ(Group.ItemIndex(), -1);
    EXPECT_EQ(Clicks, std::vector<int>({1}));
}
