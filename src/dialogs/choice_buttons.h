#pragma once

#include <QButtonGroup>
#include <QStringList>
#include <QWidget>

#include <functional>

class QAbstractButton;

namespace velmo::dialogs {

// A row of exclusive buttons, at most one selected. A user's choice calls the action; a
// selection made by the program does not.
class ChoiceButtons : public QWidget {
public:
    ChoiceButtons(const QStringList& titles, QWidget* parent);

    // -1 when none is selected.
    int selectedSegmentIndex() const { return group.checkedId(); }
    // Selects without calling the action; an index outside the segments selects none.
    void setSelectedSegmentIndex(int index);
    void setAction(std::function<void()> action) { on_change = std::move(action); }
    QAbstractButton* segment(int index) const { return group.button(index); }

private:
    QButtonGroup group;
    std::function<void()> on_change;
};

} // namespace velmo::dialogs
