#include "dialogs/choice_buttons.h"

#include <QHBoxLayout>
#include <QPushButton>

namespace velmo::dialogs {

ChoiceButtons::ChoiceButtons(const QStringList& titles, QWidget* parent)
    : QWidget(parent), group(this) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = new QPushButton(titles[i], this);
        button->setCheckable(true);
        group.addButton(button, i);
        row->addWidget(button);
    }
    group.setExclusive(true);
    connect(&group, &QButtonGroup::idClicked, this, [this](int) {
        if (on_change) {
            on_change();
        }
    });
}

void ChoiceButtons::setSelectedSegmentIndex(int index) {
    if (auto* button = group.button(index)) {
        button->setChecked(true);
        return;
    }
    // An exclusive group never unchecks its last button by itself.
    group.setExclusive(false);
    for (auto* button : group.buttons()) {
        button->setChecked(false);
    }
    group.setExclusive(true);
}

} // namespace velmo::dialogs
