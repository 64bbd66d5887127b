#include "dialogs/nickname_view.h"

#include "dialogs/dialog_presenter.h"
#include "mwcanvas/mw_canvas.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace velmo::dialogs {

QString storedNickname(const QString& typed) {
    QString name;
    name.reserve(typed.size());
    for (const QChar c : typed) {
        // Spaces as the user types them; control characters because the server refuses
        // canvas IDs that hold one, which would leave the user's canvases unreachable.
        if (c == QChar(' ') || c.category() == QChar::Other_Control) {
            continue;
        }
        name.append(c);
    }
    return name;
}

NicknameView::NicknameView(mwcanvas::MWCanvas& canvas_, DialogPresenter& presenter_,
                           QWidget& main_view_, const NicknameViewEdges& edges)
    : QWidget(&main_view_), sharing(canvas_, edges.opener, edges.alerts),
      search(canvas_, SearchEdges{edges.http, edges.scheduler, edges.clock, edges.alerts}, this),
      canvas(canvas_), presenter(presenter_), main_view(main_view_) {
    hide();
    setObjectName("nicknameviewcontroller");
    setAutoFillBackground(true);
    resize(DialogPresenter::PopoverWidth, DialogPresenter::PopoverHeight);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(8);

    auto* name_row = new QHBoxLayout();
    name_row->addWidget(new QLabel(tr("Nickname"), this));
    nickname_field = new QLineEdit(this);
    nickname_field->setObjectName("nickname_field");
    nickname_field->setMaxLength(MaxNicknameLength);
    name_row->addWidget(nickname_field, 1);
    column->addLayout(name_row);

    auto* canvas_row = new QHBoxLayout();
    new_canvas_button = new QPushButton(tr("New canvas"), this);
    canvas_id_button = new QPushButton(tr("Share canvas..."), this);
    canvas_row->addWidget(new_canvas_button);
    canvas_row->addWidget(canvas_id_button);
    column->addLayout(canvas_row);

    search_bar = new QLineEdit(this);
    search_bar->setObjectName("search_bar");
    search_bar->setPlaceholderText(tr("Search a nickname or paste a link"));
    search_bar->setClearButtonEnabled(true);
    column->addWidget(search_bar);
    column->addWidget(search.search_result_table, 1);

    auto* bottom_row = new QHBoxLayout();
    about_button = new QPushButton(tr("About"), this);
    done_button = new QPushButton(tr("Done"), this);
    bottom_row->addWidget(about_button);
    bottom_row->addStretch();
    bottom_row->addWidget(done_button);
    column->addLayout(bottom_row);

    search.dismissNicknameView = [this] { dismissNicknameView(); };
    connect(nickname_field, &QLineEdit::editingFinished, this, [this] { nicknameChanged(); });
    connect(search_bar, &QLineEdit::returnPressed, this,
            [this] { search.searchBarSearchButtonClicked(search_bar); });
    connect(new_canvas_button, &QPushButton::clicked, this, [this] { newCanvasPressed(); });
    connect(canvas_id_button, &QPushButton::clicked, this, [this] { canvasIDBtnPressed(); });
    connect(about_button, &QPushButton::clicked, this, [this] { showAboutAlert(); });
    connect(done_button, &QPushButton::clicked, this, [this] { dismissNicknameView(); });
}

void NicknameView::showNicknameView(QWidget* button) {
    nickname_field->setText(QString::fromStdString(canvas.user_nickname));
    // Nothing to apply: Return stays with the nickname and search fields.
    presenter.displayViewController(this, button, &main_view,
                                    {[this] { dismissNicknameView(); }, {}});
}

void NicknameView::dismissNicknameView() {
    presenter.dismissCurrentModalViewControllerFrom(&main_view);
}

void NicknameView::nicknameChanged() {
    nickname_field->clearFocus();
    const QString name = storedNickname(nickname_field->text());
    nickname_field->setText(name);
    canvas.setNickname(name.toStdString());
}

void NicknameView::newCanvasPressed() {
    canvas.setCanvasID("");
    dismissNicknameView();
}

void NicknameView::canvasIDBtnPressed() {
    sharing.canvasIDBtnPressed(canvas_id_button, tablet());
}

void NicknameView::showAboutAlert() {
    sharing.showAboutAlert();
}

bool NicknameView::tablet() const {
    return presenter.idiom() == Idiom::Tablet;
}

} // namespace velmo::dialogs
