#include "test_client.h"

#include "app/present_users_label.h"

#include <QImage>
#include <QToolButton>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using velmo::app::PresentUsersLabel;
using velmo::testing::TestClient;

namespace {

QWidget* toolbar(const TestClient& client) {
    return client.ui.window->findChild<QWidget*>("toolbar");
}

// Whether anything but the label's background is painted.
bool showsText(PresentUsersLabel* label) {
    const QImage shown = label->grab().toImage();
    const QRgb background = shown.pixel(0, 0);
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            if (shown.pixel(x, y) != background) {
                return true;
            }
        }
    }
    return false;
}

std::vector<std::string> manyNicknames(int count) {
    std::vector<std::string> nicknames;
    for (int i = 0; i < count; ++i) {
        nicknames.push_back("someone_with_a_long_name_" + std::to_string(i));
    }
    return nicknames;
}

} // namespace

TEST(PresentUsersLabel, NamesWhoIsHereWithoutMovingTheToolbarAndEveryoneInItsTooltip) {
    // Where the bar has room the list is on it; elsewhere it floats just below it.
    struct Window {
        QSize size;
        velmo::app::Idiom idiom;
        bool in_bar;
    };
    for (const Window& window : {Window{QSize(768, 1024), velmo::app::Idiom::Tablet, true},
                                 Window{QSize(320, 480), velmo::app::Idiom::Phone, true},
                                 Window{QSize(520, 640), velmo::app::Idiom::Tablet, false},
                                 Window{QSize(400, 600), velmo::app::Idiom::Tablet, true}}) {
        SCOPED_TRACE(window.size.width());
        TestClient client(window.size, window.idiom);
        client.launch();
        PresentUsersLabel* label = client.ui.present_users;
        ASSERT_NE(label, nullptr);
        // A tablet window too narrow for one row has the list in the row above the view.
        QWidget* row = client.ui.sharing_row->isVisible() ? client.ui.sharing_row : toolbar(client);
        ASSERT_EQ(label->parentWidget(),
                  window.in_bar ? row : static_cast<QWidget*>(client.view()));
        EXPECT_EQ(label->floating(), !window.in_bar);
        const QRect bar = toolbar(client)->geometry();
        const QRect nickname_button = client.ui.nickname_button->geometry();
        const QRect pen_button = client.ui.pen_button->geometry();
        const auto placed = [&] {
            EXPECT_EQ(toolbar(client)->geometry(), bar);
            EXPECT_EQ(client.ui.nickname_button->geometry(), nickname_button);
            EXPECT_EQ(client.ui.pen_button->geometry(), pen_button);
            const QRect at = label->geometry();
            if (window.in_bar) {
                EXPECT_LE(at.right(), nickname_button.left());
                EXPECT_GE(at.top(), 0);
                EXPECT_LE(at.bottom(), bar.height());
            } else {
                EXPECT_GT(at.top(), bar.bottom());
                EXPECT_LE(at.right(), window.size.width());
                EXPECT_GE(at.left(), 0);
                EXPECT_LT(at.bottom(), bar.bottom() + 40);
            }
        };

        // Alone: nothing shows.
        EXPECT_TRUE(label->fullText().isEmpty());
        EXPECT_TRUE(label->toolTip().isEmpty());
        if (window.in_bar) {
            EXPECT_FALSE(showsText(label));
        } else {
            EXPECT_FALSE(label->isVisible());
        }

        client.ui.outlets->showPresentUsers({"ann", "bob"});
        EXPECT_EQ(label->fullText(), "here: ann, bob");
        EXPECT_EQ(label->shownText(), "here: ann, bob") << "two short names fit";
        EXPECT_TRUE(label->toolTip().contains("ann"));
        EXPECT_TRUE(label->toolTip().contains("bob"));
        EXPECT_TRUE(label->isVisible());
        EXPECT_TRUE(showsText(label));
        placed();

        // A crowd is counted on the label; the bar and its buttons stay where they were.
        const std::vector<std::string> crowd = manyNicknames(30);
        client.ui.outlets->showPresentUsers(crowd);
        QApplication::processEvents();
        EXPECT_TRUE(label->fullText().startsWith("here: someone_with_a_long_name_0, "));
        const QString shown = label->shownText();
        EXPECT_LE(label->fontMetrics().horizontalAdvance(shown), label->contentsRect().width());
        EXPECT_GT(label->contentsRect().width(), 0);
        // The names that fit and the count of the rest, which add up to the crowd.
        EXPECT_TRUE(shown.startsWith("here: ")) << shown.toStdString();
        const qsizetype plus = shown.lastIndexOf(" +");
        ASSERT_GT(plus, 0) << shown.toStdString();
        bool counted = false;
        const int more = shown.mid(plus + 2).toInt(&counted);
        ASSERT_TRUE(counted) << shown.toStdString();
        const int named = static_cast<int>(shown.mid(6, plus - 6).split(", ").size());
        EXPECT_EQ(named + more, 30) << shown.toStdString();
        placed();
        for (const std::string& nickname : crowd) {
            EXPECT_TRUE(label->toolTip().contains(QString::fromStdString(nickname) + "<br>") ||
                        label->toolTip().contains(QString::fromStdString(nickname) + "</qt>"))
                << nickname;
        }

        if (!window.in_bar) {
            // A stroke drawn across the floating list is drawn on the canvas.
            const QPoint from = label->geometry().center() - QPoint(30, 0);
            const QPoint to = label->geometry().center() + QPoint(30, 0);
            QTest::mousePress(client.view(), Qt::LeftButton, {}, from);
            QTest::mouseMove(client.view(), to);
            QTest::mouseRelease(client.view(), Qt::LeftButton, {}, to);
            EXPECT_EQ(client.canvas().strokes_history.size(), 1u);
        }

        // Everyone left.
        client.ui.outlets->showPresentUsers({});
        EXPECT_TRUE(label->fullText().isEmpty());
        EXPECT_TRUE(label->toolTip().isEmpty());
        if (window.in_bar) {
            EXPECT_FALSE(showsText(label));
        } else {
            EXPECT_FALSE(label->isVisible());
        }
    }
}

TEST(PresentUsersLabel, ANicknameIsOneLineOfPlainText) {
    EXPECT_EQ(PresentUsersLabel::lineFor({}), "");
    EXPECT_EQ(PresentUsersLabel::lineFor({"ann"}), "here: ann");
    EXPECT_EQ(PresentUsersLabel::lineFor({"two\nlines", "<b>eve</b>"}),
              "here: two lines, <b>eve</b>");

    TestClient client;
    client.ui.outlets->showPresentUsers({"<b>eve</b>", "a&b"});
    const QString tip = client.ui.present_users->toolTip();
    EXPECT_TRUE(tip.contains("&lt;b&gt;eve&lt;/b&gt;")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("a&amp;b")) << tip.toStdString();
    EXPECT_FALSE(tip.contains("<b>"));
}

TEST(PresentUsersLabel, WhatDoesNotFitIsCountedThenCutShort) {
    TestClient client;
    const QFontMetrics metrics = client.ui.present_users->fontMetrics();
    const QStringList three{"ann", "bob", "carla"};
    const auto width = [&](const char* text) { return metrics.horizontalAdvance(text); };
    struct Case {
        int width;
        QString expected;
    };
    for (const Case& c : {Case{width("here: ann, bob, carla"), "here: ann, bob, carla"},
                          Case{width("here: ann, bob, carla") - 1, "here: ann, bob +1"},
                          Case{width("here: ann, bob +1") - 1, "here: ann +2"}}) {
        EXPECT_EQ(PresentUsersLabel::fittedLine(three, metrics, c.width), c.expected) << c.width;
    }
    EXPECT_EQ(PresentUsersLabel::fittedLine({}, metrics, 500), "");

    // A first name too long for the room is cut short, its count kept.
    const QStringList long_first{"a_rather_long_nickname_indeed", "bob"};
    const int room = width("here: a_rather +1");
    const QString cut = PresentUsersLabel::fittedLine(long_first, metrics, room);
    EXPECT_TRUE(cut.startsWith("here: a_")) << cut.toStdString();
    EXPECT_TRUE(cut.endsWith(QStringLiteral("\u2026 +1"))) << cut.toStdString();
    EXPECT_LE(metrics.horizontalAdvance(cut), room);
    // Alone and too long: no count.
    const QString alone =
        PresentUsersLabel::fittedLine({"a_rather_long_nickname_indeed"}, metrics, room);
    EXPECT_TRUE(alone.endsWith(QChar(0x2026))) << alone.toStdString();
    EXPECT_LE(metrics.horizontalAdvance(alone), room);
    // Hardly any room: the line itself is cut short.
    for (const int tiny : {0, 5, width("here:")}) {
        EXPECT_LE(metrics.horizontalAdvance(PresentUsersLabel::fittedLine(three, metrics, tiny)),
                  tiny);
    }
}
