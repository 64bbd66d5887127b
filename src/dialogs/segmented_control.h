#pragma once

#include <QButtonGroup>
#include <QStringList>
#include <QWidget>

#include <functional>

class QAbstractButton;

namespace velmo::dialogs {

// A row of exclusive buttons, at most one selected; none is until the program or the user
// selects one. A user's choice calls the action; a selection made by the program does not.
class SegmentedControl : public QWidget {
public:
    // Where the control stands decides its buttons: on a toolbar they are tool buttons like
    // the bar's others and never take the keyboard focus from the canvas; in a dialog they
    // are push buttons that the keyboard reaches like the dialog's other controls.
    enum class Place { Toolbar, Dialog };

    SegmentedControl(const QStringList& titles, Place place, QWidget* parent);

    // -1 when none is selected.
    int selectedSegmentIndex() const { return group.checkedId(); }
    // Selects without calling the action; an index outside the segments selects none.
    void setSelectedSegmentIndex(int index);
    void setAction(std::function<void()> action) { on_change = std::move(action); }
    QAbstractButton* segment(int index) const { return group.button(index); }
    int count() const { return static_cast<int>(group.buttons().size()); }

private:
    QButtonGroup group;
    std::function<void()> on_change;
};

} // namespace velmo::dialogs
