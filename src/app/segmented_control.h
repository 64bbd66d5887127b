#pragma once

#include <QButtonGroup>
#include <QStringList>
#include <QWidget>

#include <functional>

class QAbstractButton;

namespace velmo::app {

// A row of exclusive buttons, one of them selected. A user's choice calls the action; a
// selection made by the program does not.
class SegmentedControl : public QWidget {
public:
    SegmentedControl(const QStringList& titles, QWidget* parent);

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

} // namespace velmo::app
