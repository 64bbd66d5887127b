#include "dialogs/segmented_control.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QToolButton>

namespace velmo::dialogs {
namespace {

QAbstractButton* makeSegment(const QString& title, SegmentedControl::Place place, QWidget* parent) {
    if (place == SegmentedControl::Place::Dialog) {
        return new QPushButton(title, parent);
    }
    auto* button = new QToolButton(parent);
    button->setText(title);
    button->setAutoRaise(false);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

} // namespace

SegmentedControl::SegmentedControl(const QStringList& titles, Place place, QWidget* parent)
    : QWidget(parent), group(this) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    group.setExclusive(true);
    for (int i = 0; i < titles.size(); ++i) {
        QAbstractButton* button = makeSegment(titles[i], place, this);
        button->setCheckable(true);
        group.addButton(button, i);
        row->addWidget(button);
    }
    connect(&group, &QButtonGroup::idClicked, this, [this](int) {
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
    // An exclusive group never unchecks its last button by itself.
    group.setExclusive(false);
    for (QAbstractButton* button : group.buttons()) {
        button->setChecked(false);
    }
    group.setExclusive(true);
}

} // namespace velmo::dialogs
