#include "dialogs/nickname_view.h"

#include "canvas_fixture.h"
#include "dialogs/dialog_presenter.h"

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace velmo::dialogs {
namespace {

struct NicknameFixture : testing::CanvasWithView {
    explicit NicknameFixture(Idiom idiom = Idiom::Phone)
        : CanvasWithView(320, 480), presenter(main_view, idiom),
          nickname_button(new QPushButton("nickname", &main_view)),
          view(new NicknameView(canvas, presenter, main_view,
                                {opener, alerts, http, scheduler, clock})) {
        main_view.show();
    }

    DialogPresenter presenter;
    QPushButton* nickname_button;
    NicknameView* view;
};

TEST(NicknameView, OpensWithTheCanvasNickname) {
    NicknameFixture f(Idiom::Tablet);
    f.canvas.user_nickname = "hanako";
    f.view->showNicknameView(f.nickname_button);
    EXPECT_EQ(f.view->nickname_field->text(), "hanako");
    EXPECT_EQ(f.presenter.presentedDialog(), f.view);
    EXPECT_NE(f.presenter.popoverController, nullptr);
}

TEST(NicknameView, NicknameIsStoredWithoutSpaces) {
    NicknameFixture f;
    f.view->showNicknameView(f.nickname_button);
    f.view->nickname_field->clear();
    f.view->nickname_field->setFocus();
    QTest::keyClicks(f.view->nickname_field, " ta ro  san ");
    QTest::keyClick(f.view->nickname_field, Qt::Key_Return);
    EXPECT_EQ(f.canvas.user_nickname, "tarosan");
    EXPECT_EQ(f.view->nickname_field->text(), "tarosan");
    EXPECT_EQ(f.presenter.presentedDialog(), f.view) << "the view stays open";
}

TEST(NicknameView, StoredNicknameDropsSpacesAndControlCharacters) {
    const struct {
        const char* typed;
        const char* stored;
    } cases[] = {
        {"taro", "taro"},
        {"ta ro", "taro"},
        {"   ", ""},
        {"ta\tro\x7f", "taro"},
        {"山田 太郎", "山田太郎"},
        // Other white space than the plain space stays.
        {"a\u3000b", "a\u3000b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(storedNickname(QString::fromUtf8(c.typed)), QString::fromUtf8(c.stored))
            << c.typed;
    }
}

TEST(NicknameView, NicknamesStayWithinTheServerLimit) {
    NicknameFixture f;
    f.view->nickname_field->setText(QString(200, QChar(0x5C71)));
    f.view->nicknameChanged();
    EXPECT_EQ(f.view->nickname_field->text().size(), NicknameView::MaxNicknameLength);
    EXPECT_LE(f.canvas.canvasID().size(), 256u);
}

TEST(NicknameView, NewCanvasEmptiesTheCanvasAndCloses) {
    NicknameFixture f;
    f.canvas.canvas_id = "taro@20101201110034567";
    f.canvas.user_nickname = "jiro";
    f.canvas.touchPressedAtX(10, 10);
    f.canvas.touchDraggedAtX(100, 100);
    f.canvas.touchReleasedAtX(100, 100);
    ASSERT_FALSE(f.canvas.strokes_history.empty());
    f.view->showNicknameView(f.nickname_button);
    QTest::mouseClick(f.view->new_canvas_button, Qt::LeftButton);
    EXPECT_TRUE(f.canvas.strokes_history.empty());
    EXPECT_NE(f.canvas.canvas_id, "taro@20101201110034567");
    EXPECT_EQ(f.canvas.canvas_id.rfind("jiro@", 0), 0u) << f.canvas.canvas_id;
    EXPECT_EQ(f.presenter.presentedDialog(), nullptr);
}

TEST(NicknameView, AboutAndDoneButtons) {
    NicknameFixture f;
    f.view->showNicknameView(f.nickname_button);
    QTest::mouseClick(f.view->about_button, Qt::LeftButton);
    ASSERT_EQ(f.alerts.shown.size(), 1u);
    EXPECT_EQ(f.alerts.shown[0].first, "Velmorastra");
    QTest::mouseClick(f.view->done_button, Qt::LeftButton);
    EXPECT_EQ(f.presenter.presentedDialog(), nullptr);
}

TEST(NicknameView, ShareButtonPublishesAndShowsTheMenu) {
    NicknameFixture f;
    f.canvas.canvas_id = "taro@20101201110034567";
    // The server has the canvas: a stroke of it came back with its stamp.
    canvas::MWStroke stroke;
    stroke.user_name = "ann@1";
    stroke.server_time = 1291201234567;
    stroke.points_x = {10, 20};
    stroke.points_y = {10, 20};
    f.canvas.strokes_history.store({stroke.server_time, 0}, stroke);
    f.view->showNicknameView(f.nickname_button);
    QTest::mouseClick(f.view->canvas_id_button, Qt::LeftButton);
    EXPECT_EQ(f.http.sync_requests.size(), 2u);
    ASSERT_TRUE(f.view->sharing.action_sheet);
    EXPECT_TRUE(f.view->sharing.action_sheet->isVisible());
}

} // namespace
} // namespace velmo::dialogs
