#include "dialogs/canvas_sharing.h"
#include "support/counting_random.h"

#include "canvas_fixture.h"
#include "wire/date_id.h"

#include <QAction>
#include <QClipboard>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMenu>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>

namespace velmo::dialogs {
namespace {

const std::string CanvasID = "taro@20101201110034567";

struct SharingFixture : testing::CanvasWithView {
    SharingFixture() : sharing(canvas, opener, alerts) {
        canvas.canvas_id = CanvasID;
        QGuiApplication::clipboard()->setText("before");
        // A stroke the server has stamped: the server has the canvas.
        canvas::MWStroke stroke;
        stroke.user_name = "taro@20101201110034567";
        stroke.server_time = 1291201234567;
        stroke.client_time = 1291201234000;
        stroke.points_x = {10, 20};
        stroke.points_y = {10, 20};
        canvas.strokes_history.store({stroke.server_time, stroke.client_time}, stroke);
        sharing.tell = [this](const QString& message) { told.append(message); };
    }
    QString dateCode() const { return QString::fromStdString(*wire::dateID(CanvasID)); }

    CanvasSharing sharing;
    QStringList told;
};

TEST(CanvasSharing, PlainAndEncodedLinks) {
    SharingFixture f;
    const QString code = f.dateCode();
    ASSERT_EQ(code.size(), 7);
    EXPECT_EQ(f.sharing.URLOfCanvasIDWithEncode(false), "http://127.0.0.1:8640/?v:" + code);
    EXPECT_EQ(f.sharing.URLOfCanvasIDWithEncode(true),
              "http%3A%2F%2F127.0.0.1%3A8640%2F%3Fv%3A" + code);
}

TEST(CanvasSharing, EncodedLinkEscapesEveryReservedCharacter) {
    testing::RecordingOutlets outlets;
    testing::FakeClock clock;
    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::MemorySettings settings;
    testing::CountingRandom random;
    mwcanvas::MWCanvas canvas(outlets, {clock, http, scheduler, settings, random},
                              "https://u@h.example:1/a;b=c&d+e$f,g/é?", testing::TestUploadURL);
    canvas.canvas_id = CanvasID;
    testing::RecordingUrlOpener opener;
    testing::RecordingAlerts alerts;
    CanvasSharing sharing(canvas, opener, alerts);
    const QString encoded = *sharing.URLOfCanvasIDWithEncode(true);
    EXPECT_EQ(encoded,
              "https%3A%2F%2Fu%40h.example%3A1%2Fa%3Bb%3Dc%26d%2Be%24f%2Cg%2F%C3%A9%3F%3Fv%3A" +
                  QString::fromStdString(*wire::dateID(CanvasID)));
}

TEST(CanvasSharing, ClipboardGetsThePlainLink) {
    SharingFixture f;
    f.sharing.actionSheet(0);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), *f.sharing.URLOfCanvasIDWithEncode(false));
    EXPECT_TRUE(f.opener.opened.isEmpty());
}

TEST(CanvasSharing, ACanvasTheServerHasNotGotSaysSoInsteadOfALink) {
    struct Case {
        const char* name;
        bool keep_stamped;
        bool add_unconfirmed;
        QString message;
    };
    for (const Case& c :
         {Case{"new and empty", false, false, CanvasSharing::drawFirstMessage()},
          Case{"strokes still queued", false, true, CanvasSharing::notSentYetMessage()}}) {
        SCOPED_TRACE(c.name);
        SharingFixture f;
        if (!c.keep_stamped) {
            f.canvas.strokes_history.clear();
        }
        if (c.add_unconfirmed) {
            canvas::MWStroke own;
            own.user_name = f.canvas.userID();
            own.client_time = 1291201300000;
            own.points_x = {1, 2};
            own.points_y = {1, 2};
            f.canvas.strokes_history.store({f.canvas.InitServerTime, own.client_time}, own);
        }
        EXPECT_FALSE(f.sharing.serverKnowsCanvas());
        // The button publishes nothing and shows no menu, and no entry hands out a link.
        QPushButton button("share", &f.main_view);
        f.sharing.canvasIDBtnPressed(&button, true);
        EXPECT_TRUE(f.http.sync_requests.empty());
        EXPECT_FALSE(f.sharing.action_sheet);
        for (int index = 0; index < 4; ++index) {
            f.sharing.actionSheet(index);
        }
        EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
        EXPECT_TRUE(f.opener.opened.isEmpty());
        EXPECT_EQ(f.told, QStringList(5, c.message));
        EXPECT_TRUE(f.alerts.shown.empty());
    }
}

TEST(CanvasSharing, CopyLinkSaysItCopiedWhichLink) {
    SharingFixture f;
    EXPECT_TRUE(f.sharing.serverKnowsCanvas());
    f.sharing.actionSheet(0);
    const QString link = *f.sharing.URLOfCanvasIDWithEncode(false);
    EXPECT_EQ(f.told, QStringList{"Link copied: " + link});
    // Without a place in the window, an alert says it.
    f.sharing.tell = nullptr;
    f.sharing.actionSheet(0);
    ASSERT_EQ(f.alerts.shown.size(), 1u);
    EXPECT_EQ(f.alerts.shown[0].second, "Link copied: " + link);
}

TEST(CanvasSharing, MailHasNoRecipientAndThePlainLinkAsBody) {
    SharingFixture f;
    f.sharing.actionSheet(1);
    ASSERT_EQ(f.opener.opened.size(), 1);
    EXPECT_EQ(f.opener.opened[0], "mailto:?body=http://127.0.0.1:8640/?v:" + f.dateCode());
}

TEST(CanvasSharing, PostsCarryTheEncodedLink) {
    SharingFixture f;
    const QString encoded = *f.sharing.URLOfCanvasIDWithEncode(true);
    f.sharing.actionSheet(2);
    f.sharing.actionSheet(3);
    ASSERT_EQ(f.opener.opened.size(), 2);
    EXPECT_EQ(f.opener.opened[0], "https://twitter.com/home?status=" + encoded);
    EXPECT_EQ(f.opener.opened[1], "tweetie:///post?message=" + encoded);
}

TEST(CanvasSharing, CancelAndUnknownEntriesDoNothing) {
    SharingFixture f;
    for (const int index : {4, 5, -1, 100}) {
        f.sharing.actionSheet(index);
    }
    EXPECT_TRUE(f.opener.opened.isEmpty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
}

TEST(CanvasSharing, ACanvasWithoutCreationTimeSharesNothing) {
    SharingFixture f;
    f.canvas.canvas_id = "no-time-stamp";
    EXPECT_FALSE(f.sharing.URLOfCanvasIDWithEncode(false).has_value());
    for (int index = 0; index < 4; ++index) {
        f.sharing.actionSheet(index);
    }
    EXPECT_TRUE(f.opener.opened.isEmpty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
    // Each entry says why, naming the canvas; Cancel stays silent.
    ASSERT_EQ(f.alerts.shown.size(), 4u);
    for (const auto& [title, message] : f.alerts.shown) {
        EXPECT_EQ(title, "No link to share");
        EXPECT_TRUE(message.contains("no-time-stamp")) << message.toStdString();
        EXPECT_TRUE(message.contains("date")) << message.toStdString();
    }
    f.sharing.actionSheet(4);
    EXPECT_EQ(f.alerts.shown.size(), 4u);
}

TEST(CanvasSharing, EscapingForOpeningKeepsReservedCharacters) {
    EXPECT_EQ(escapeForURL("mailto:?body=http://h:1/?v:abc"), "mailto:?body=http://h:1/?v:abc");
    EXPECT_EQ(escapeForURL(QString::fromUtf8("mailto:?body=a b%\"ü")),
              "mailto:?body=a%20b%25%22%C3%BC");
}

TEST(CanvasSharing, MenuPublishesBothPicturesFirst) {
    SharingFixture f;
    f.http.scriptSync("http://127.0.0.1:8640/images/full.png");
    f.http.scriptSync("http://127.0.0.1:8640/images/thumb.png");
    QPushButton button("share", &f.main_view);
    f.main_view.show();
    f.sharing.canvasIDBtnPressed(&button, true);

    ASSERT_EQ(f.http.sync_requests.size(), 2u);
    for (const auto& request : f.http.sync_requests) {
        EXPECT_EQ(request.url, testing::TestUploadURL);
    }
    EXPECT_EQ(f.canvas.fullImageUrl(), "http://127.0.0.1:8640/images/full.png");
    EXPECT_EQ(f.canvas.thumbnailUrl(), "http://127.0.0.1:8640/images/thumb.png");
    const auto& queued = f.canvas.sync_agent.queued_commands;
    EXPECT_TRUE(std::any_of(queued.begin(), queued.end(), [](const std::string& c) {
        return c == CanvasID + ": update_fullimage: url:http://127.0.0.1:8640/images/full.png";
    }));
    EXPECT_TRUE(std::any_of(queued.begin(), queued.end(), [](const std::string& c) {
        return c == CanvasID + ": update_thumbnail: url:http://127.0.0.1:8640/images/thumb.png";
    }));

    ASSERT_TRUE(f.sharing.action_sheet);
    QStringList entries;
    QAction* mail = nullptr;
    for (QAction* action : f.sharing.action_sheet->actions()) {
        if (!action->text().isEmpty()) {
            entries.append(action->text());
        }
        if (action->text() == "Send by mail") {
            mail = action;
        }
    }
    // No program takes the app's links here, so the menu does not offer it.
    EXPECT_EQ(entries, QStringList({"Send the Canvas ID to ...", "Copy link", "Send by mail",
                                    "Post on Twitter (browser)", "Cancel"}));
    ASSERT_NE(mail, nullptr);
    mail->trigger();
    ASSERT_EQ(f.opener.opened.size(), 1);
    EXPECT_TRUE(f.opener.opened[0].startsWith("mailto:?body="));
}

TEST(CanvasSharing, TheAppEntryShowsWhenItsLinksHaveAProgramAndTheTitleShowsWhole) {
    for (const bool handled : {false, true}) {
        SCOPED_TRACE(handled);
        SharingFixture f;
        if (handled) {
            f.opener.handled.append("tweetie");
        }
        QPushButton button("share", &f.main_view);
        f.main_view.show();
        f.sharing.canvasIDBtnPressed(&button, true);
        ASSERT_TRUE(f.sharing.action_sheet);
        QMenu& menu = *f.sharing.action_sheet;
        QAction* title = nullptr;
        QAction* app = nullptr;
        for (QAction* action : menu.actions()) {
            if (action->text() == CanvasSharing::menuTitle()) {
                title = action;
            }
            if (action->text() == "Post on Twitter (app)") {
                app = action;
            }
        }
        EXPECT_EQ(app != nullptr, handled);
        if (app != nullptr) {
            app->trigger();
            ASSERT_EQ(f.opener.opened.size(), 1);
            EXPECT_TRUE(f.opener.opened[0].startsWith("tweetie:///post?message="));
        }
        // The title is no entry one can choose, and it has room for all of its text.
        ASSERT_NE(title, nullptr);
        EXPECT_FALSE(title->isEnabled());
        QFont font = menu.font();
        font.setBold(true);
        const int text_width = QFontMetrics(font).horizontalAdvance(CanvasSharing::menuTitle());
        EXPECT_GE(menu.actionGeometry(title).width(), text_width);
        EXPECT_GE(menu.sizeHint().width(), text_width);
    }
}

TEST(CanvasSharing, MenuShowsEvenWhenUploadsFail) {
    SharingFixture f;
    f.canvas.fullimage_url = "http://127.0.0.1:8640/images/old.png";
    QPushButton button("share", &f.main_view);
    f.sharing.canvasIDBtnPressed(&button, false);
    EXPECT_EQ(f.http.sync_requests.size(), 2u);
    EXPECT_EQ(f.canvas.fullImageUrl(), "http://127.0.0.1:8640/images/old.png");
    EXPECT_TRUE(f.canvas.sync_agent.queued_commands.empty());
    ASSERT_TRUE(f.sharing.action_sheet);
    EXPECT_TRUE(f.sharing.action_sheet->isVisible());
    f.sharing.action_sheet->actions().back()->trigger();
    EXPECT_TRUE(f.opener.opened.isEmpty());
}

TEST(CanvasSharing, AboutBoxNamesTheVersionAndTheFrontPageOfItsServer) {
    SharingFixture f;
    f.sharing.showAboutAlert();
    ASSERT_EQ(f.alerts.shown.size(), 1u);
    EXPECT_EQ(f.alerts.shown[0].first, "Velmorastra");
    EXPECT_EQ(f.alerts.shown[0].second,
              QStringLiteral("version " VELMO_TEST_VERSION "\n\nhttp://127.0.0.1:8640/"));

    // The server this client was started with (--server or "ServerURL"), whatever it is.
    mwcanvas::MWCanvas other(f.outlets, {f.clock, f.http, f.scheduler, f.settings, f.random},
                             "http://127.0.0.1:9/canvas/", testing::TestUploadURL);
    CanvasSharing sharing(other, f.opener, f.alerts);
    sharing.showAboutAlert();
    ASSERT_EQ(f.alerts.shown.size(), 2u);
    EXPECT_EQ(f.alerts.shown[1].second,
              QStringLiteral("version " VELMO_TEST_VERSION "\n\nhttp://127.0.0.1:9/canvas/"));
}

} // namespace
} // namespace velmo::dialogs
