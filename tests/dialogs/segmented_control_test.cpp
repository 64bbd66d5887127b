#include "dialogs/segmented_control.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace velmo::dialogs {
namespace {

using Place = SegmentedControl::Place;

TEST(SegmentedControl, TheUsersChoiceCallsTheActionAndTheProgramsDoesNot) {
    for (const Place place : {Place::Toolbar, Place::Dialog}) {
        SCOPED_TRACE(place == Place::Toolbar ? "toolbar" : "dialog");
        QWidget window;
        SegmentedControl control({"Draw", "Pick", "Pan"}, place, &window);
        window.show();
        int actions = 0;
        int selected_in_action = -2;
        control.setAction([&] {
            ++actions;
            selected_in_action = control.selectedSegmentIndex();
        });
        ASSERT_EQ(control.count(), 3);
        EXPECT_EQ(control.segment(1)->text(), "Pick");
        EXPECT_EQ(control.segment(3), nullptr);
        EXPECT_EQ(control.selectedSegmentIndex(), -1) << "none until one is chosen";

        control.setSelectedSegmentIndex(0);
        EXPECT_EQ(control.selectedSegmentIndex(), 0);
        EXPECT_EQ(actions, 0);

        // The action sees the new choice; the group keeps one button checked.
        QTest::mouseClick(control.segment(2), Qt::LeftButton);
        EXPECT_EQ(actions, 1);
        EXPECT_EQ(selected_in_action, 2);
        EXPECT_TRUE(control.segment(2)->isChecked());
        EXPECT_FALSE(control.segment(0)->isChecked());
        // A click on the selected segment keeps it and is still a choice.
        QTest::mouseClick(control.segment(2), Qt::LeftButton);
        EXPECT_EQ(actions, 2);
        EXPECT_EQ(control.selectedSegmentIndex(), 2);

        // An index outside the segments selects none, and a later click selects again.
        for (const int outside : {-1, 3, 100}) {
            control.setSelectedSegmentIndex(1);
            control.setSelectedSegmentIndex(outside);
            EXPECT_EQ(control.selectedSegmentIndex(), -1) << outside;
            for (int i = 0; i < control.count(); ++i) {
                EXPECT_FALSE(control.segment(i)->isChecked()) << outside << " " << i;
            }
        }
        QTest::mouseClick(control.segment(1), Qt::LeftButton);
        EXPECT_EQ(control.selectedSegmentIndex(), 1);
        EXPECT_EQ(actions, 3);
    }
}

TEST(SegmentedControl, ToolbarSegmentsLeaveTheFocusAndDialogSegmentsTakeIt) {
    QWidget window;
    SegmentedControl toolbar({"Draw", "Pick"}, Place::Toolbar, &window);
    SegmentedControl dialog({"Black", "White"}, Place::Dialog, &window);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(qobject_cast<QToolButton*>(toolbar.segment(i)), nullptr);
        EXPECT_FALSE(qobject_cast<QToolButton*>(toolbar.segment(i))->autoRaise());
        EXPECT_EQ(toolbar.segment(i)->focusPolicy(), Qt::NoFocus);
        EXPECT_NE(qobject_cast<QPushButton*>(dialog.segment(i)), nullptr);
        EXPECT_NE(dialog.segment(i)->focusPolicy() & Qt::TabFocus, 0);
        EXPECT_TRUE(toolbar.segment(i)->isCheckable());
        EXPECT_TRUE(dialog.segment(i)->isCheckable());
    }
}

} // namespace
} // namespace velmo::dialogs
