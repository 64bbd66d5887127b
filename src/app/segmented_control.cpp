#include "app/segmented_control.h"

#include <QHBoxLayout>
#include <QToolButton>

namespace velmo::app {

SegmentedControl::SegmentedControl(const QStringList& titles, QWidget* parent)
    : QWidget(parent), group(this) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    group.setExclusive(true);
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = new QToolButton(this);
        button->setText(titles[i]);
        button->setCheckable(true);
        button->setAutoRaise(false);
        button->setFocusPolicy(Qt::NoFocus);
        group.addButton(button, i);
        layout->addWidget(button);
    }
    if (!titles.isEmpty()) {
        group.button(0)->setChecked(true);
    }
    QObject::connect(&group, &QButtonGroup::idClicked, this, [this](int) {
        if (on_change) {
            on_change();
        }
    });
}

void SegmentedControl::setSelectedSegmentIndex(int index) {
    if (QAbstractButton* button = group.button(index)) {
        button->setChecked(true);
        return;
    }
    // An exclusive group keeps one button checked; none is only possible without exclusivity.
    group.setExclusive(false);
    for (QAbstractButton* button : group.buttons()) {
        button->setChecked(false);
    }
    group.setExclusive(true);
}

} // namespace velmo::app
