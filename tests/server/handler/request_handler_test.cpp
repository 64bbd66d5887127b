#include "handler/request_handler.h"

#include "canvas/canvas_geometry.h"
#include "canvas/stroke_replay.h"
#include "canvas/stroke_text.h"
#include "handler/client_limits.h"
#include "handler/html.h"
#include "handler/limits.h"
#include "handler/sha256.h"
#include "png/layers_png.h"
#include "png/png_encoder.h"
#include "support/failing_store.h"
#include "support/png_test_files.h"
#include "support/random_strokes.h"
#include "support/store_backends.h"
#include "support/temp_dir.h"
#include "wire/command_parser.h"
#include "wire/command_text.h"
#include "wire/key_header.h"
#include "wire/reply_line.h"

#include <gtest/gtest.h>

#include <future>
#include <sqlite3.h>

#include <functional>
#include <thread>

#include <zlib.h>

namespace velmo::server {
namespace {

constexpr const char* Canvas = "anna@20100704123456789";
constexpr const char* Anna = "anna@20100704130000001";
constexpr const char* Bob = "bob@20100704130000002";
constexpr const char* Carol = "carol@20100704130000003";
constexpr int64_t Now = 1291201234567;

canvas::MWStroke stroke(const std::string& user, int64_t client_time, int points = 2) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = user;
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    for (int i = 0; i < points; ++i) {
        s.points_x.push_back(10000 + 1000 * i);
        s.points_y.push_back(240000);
    }
    return s;
}

// The header by which a client proves `user`; `secret` stands for its key.
std::string keyOf(const std::string& user, char secret = 'k') {
    return wire::keyHeaderValue(user, std::string(16, secret));
}

canvas::MWStroke poll(const std::string& user) {
    return stroke(user, Now, 0);
}

// A reply read the way the client reads it.
struct Reply {
    std::vector<canvas::MWStroke> strokes;
    int delete_notices = 0;
    std::vector<std::pair<std::string, std::string>> canvases;
    std::vector<std::string> lines;
};

Reply readReply(const std::string& body) {
    Reply reply;
    for (const auto line : wire::splitReplyLines(body)) {
        reply.lines.emplace_back(line);
        const auto classified = wire::classifyReplyLine(line);
        switch (classified.kind) {
        case wire::ReplyLineKind::Stroke:
            reply.strokes.push_back(canvas::stroke_from_text(line, wire::ServerPixelScale));
            break;
        case wire::ReplyLineKind::Delete:
            ++reply.delete_notices;
            break;
        case wire::ReplyLineKind::CanvasListEntry:
            reply.canvases.emplace_back(classified.canvas_id, classified.thumbnail_url);
            break;
        case wire::ReplyLineKind::Nothing:
            break;
        }
    }
    return reply;
}

std::string gyazoBody(const std::string& png) {
    const std::string b = "----BOUNDARYBOUNDARY----";
    return "--" + b + "\r\ncontent-disposition: form-data; name=\"id\"\r\n\r\n20100304050607\r\n" +
           "--" + b + "\r\ncontent-disposition: form-data; name=\"version\"\r\n\r\n0.4\r\n" + "--" +
           b + "\r\ncontent-disposition: form-data; name=\"imagedata\"\r\n\r\n" + png + "\r\n--" +
           b + "--\r\n";
}

std::string header(const Response& response, const std::string& name) {
    for (const auto& [n, v] : response.headers) {
        if (n == name) {
            return v;
        }
    }
    return {};
}

// Every case runs against both storage backends.
class RequestHandlerTest : public ::testing::TestWithParam<testing::Backend> {
protected:
    void SetUp() override {
        backend = std::make_unique<testing::BackendStore>(GetParam(), dir);
        if (!backend->ready()) {
            if (GetParam() == testing::Backend::Postgres) {
                GTEST_SKIP() << backend->problem();
            }
            FAIL() << backend->problem();
        }
        store = &backend->store();
        context = std::make_unique<HandlerContext>(
            HandlerContext{*store, backend->marks(), "http://canvas.test/"});
    }

    Response post(const std::string& body, int64_t now = Now, const std::string& key = "") {
        return drained(handleRequest({"POST", "/", "", body, key}, *context, now));
    }
    Response get(const std::string& target, const std::string& if_none_match = "") {
        Request request{"GET", target, "", ""};
        request.if_none_match = if_none_match;
        return drained(handleRequest(request, *context, Now));
    }
    // The stored strokes of the canvas decoded at the canvas size of a W x H screen.
    std::vector<canvas::MWStroke> storedStrokes(const canvas::CanvasGeometry& geometry,
                                                const std::string& canvas_id = Canvas) {
        std::vector<canvas::MWStroke> strokes;
        const auto stored = store->strokesAfter(canvas_id, INT64_MIN, 1'000'000);
        for (const auto& s : stored.value()) {
            strokes.push_back(canvas::stroke_from_text(s.text, geometry.pixel_scale));
        }
        return strokes;
    }
    // The whole body of a reply sent in pieces, as the client receives it.
    static Response drained(Response response) {
        if (response.next_piece) {
            while (auto piece = response.next_piece()) {
                response.body += *piece;
            }
            response.next_piece = nullptr;
        }
        return response;
    }
    Reply command(const std::string& body, int64_t now = Now, const std::string& key = "") {
        const Response response = post(body, now, key);
        EXPECT_EQ(response.status, 200) << response.body;
        EXPECT_EQ(response.content_type, "text/plain; charset=utf-8");
        return readReply(response.body);
    }
    Reply append(const canvas::MWStroke& s, const std::string& canvas_id = Canvas,
                 int64_t now = Now) {
        return command(wire::appendCommand(canvas_id, s), now);
    }
    size_t storedCount(const std::string& canvas_id = Canvas) {
        return store->strokesAfter(canvas_id, INT64_MIN, 1'000'000)->size();
    }

    testing::TempDir dir;
    std::unique_ptr<testing::BackendStore> backend;
    Store* store = nullptr;
    std::unique_ptr<HandlerContext> context;
};

INSTANTIATE_TEST_SUITE_P(Backends, RequestHandlerTest,
                         ::testing::Values(testing::Backend::Sqlite, testing::Backend::Postgres),
                         testing::backendName);

TEST_P(RequestHandlerTest, AppendIsStampedStoredAndEchoedToItsAuthor) {
    const Reply reply = append(stroke(Anna, 7), Canvas, Now + 5);
    ASSERT_EQ(reply.strokes.size(), 1u);
    canvas::MWStroke expected = stroke(Anna, 7);
    expected.server_time = Now + 5;
    EXPECT_EQ(reply.strokes[0], expected);
    EXPECT_EQ(reply.lines[0],
              std::string(Canvas) + ": append: " + canvas::stroke_to_text(expected));
    EXPECT_EQ(storedCount(), 1u);
}

// The server's own path for appends: the store is called without waiting and the reply is
// built afterwards; it must answer like handleRequest.
TEST_P(RequestHandlerTest, SplitAppendAnswersLikeTheWholeRequest) {
    const std::string body = wire::appendCommand(Canvas, stroke(Anna, 7));
    auto append = appendCommandOf({"POST", "/", "", body});
    ASSERT_TRUE(append);
    EXPECT_EQ(append->canvas_id, Canvas);
    std::promise<Appended> done;
    store->appendStrokeAsync(append->canvas_id, append->stroke, Now, context->page_bytes,
                             [&done](Appended appended) { done.set_value(std::move(appended)); });
    const Response split =
        answerAppend(*context, append->canvas_id, Anna, Now, done.get_future().get());
    EXPECT_EQ(split.status, 200);
    EXPECT_EQ(readReply(split.body).strokes.size(), 1u);
    EXPECT_EQ(answerAppend(*context, Canvas, Anna, Now, {}).status, 503);

    // Everything else takes the whole path: polls, other commands, refusals, other routes.
    EXPECT_FALSE(appendCommandOf({"POST", "/", "", wire::appendCommand(Canvas, poll(Anna))}));
    EXPECT_FALSE(appendCommandOf({"GET", "/", "", body}));
    EXPECT_FALSE(appendCommandOf({"POST", "/upload.cgi", "", body}));
    EXPECT_FALSE(appendCommandOf({"POST", "/", "", "bad id: " + body.substr(body.find(':'))}));
    EXPECT_FALSE(appendCommandOf({"POST", "/", "", std::string(Canvas) + ": get_strokes: "}));
    EXPECT_TRUE(appendCommandOf({"POST", "/?x", "", body}));
}

TEST_P(RequestHandlerTest, ResentAppendIsStoredOnceAndEchoedAgain) {
    // The client resends a queued append whose reply it never got.
    const std::string command = wire::appendCommand(Canvas, stroke(Anna, 7));
    const Reply first = this->command(command, Now);
    ASSERT_EQ(first.strokes.size(), 1u);
    append(stroke(Bob, 8), Canvas, Now + 1);
    const Reply again = this->command(command, Now + 2);
    EXPECT_EQ(storedCount(), 2u);
    ASSERT_EQ(again.strokes.size(), 2u);
    EXPECT_EQ(again.strokes[0], first.strokes[0]); // the echo, same stamp
    EXPECT_EQ(again.strokes[1].user_name, Bob);
    EXPECT_EQ(this->command(wire::appendCommand(Canvas, poll(Anna))).strokes.size(), 0u);
}

TEST_P(RequestHandlerTest, PollStoresNothingAndBringsWhatOthersDrew) {
    EXPECT_TRUE(command(wire::appendCommand(Canvas, poll(Bob))).lines.empty() ||
                command(wire::appendCommand(Canvas, poll(Bob))).strokes.empty());
    EXPECT_EQ(storedCount(), 0u);
    EXPECT_EQ(store->canvas(Canvas), CanvasLookup::none()); // a poll makes no canvas

    append(stroke(Anna, 1));
    append(stroke(Anna, 2), Canvas, Now + 1);
    const Reply first = command(wire::appendCommand(Canvas, poll(Bob)));
    ASSERT_EQ(first.strokes.size(), 2u);
    EXPECT_EQ(first.strokes[0].client_time, 1);
    EXPECT_EQ(first.strokes[1].client_time, 2);
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Bob))).strokes.size(), 0u);

    append(stroke(Anna, 3), Canvas, Now + 2);
    const Reply later = command(wire::appendCommand(Canvas, poll(Bob)));
    ASSERT_EQ(later.strokes.size(), 1u);
    EXPECT_EQ(later.strokes[0].client_time, 3);
    // Bob's own stroke comes back to him with its stamp, and Anna gets it once.
    const Reply own = append(stroke(Bob, 4), Canvas, Now + 3);
    ASSERT_EQ(own.strokes.size(), 1u);
    EXPECT_EQ(own.strokes[0].user_name, Bob);
    EXPECT_EQ(own.strokes[0].server_time, Now + 3);
    const Reply anna = command(wire::appendCommand(Canvas, poll(Anna)));
    ASSERT_EQ(anna.strokes.size(), 1u);
    EXPECT_EQ(anna.strokes[0].user_name, Bob);
    EXPECT_EQ(storedCount(), 4u);
}

TEST_P(RequestHandlerTest, UserSeenForTheFirstTimeGetsEverythingAndNoNotice) {
    append(stroke(Anna, 1));
    append(stroke(Anna, 2));
    const Reply carol = command(wire::appendCommand(Canvas, poll(Carol)));
    EXPECT_EQ(carol.strokes.size(), 2u);
    EXPECT_EQ(carol.delete_notices, 0);
}

TEST_P(RequestHandlerTest, ReplyCarriesAtMost5000StrokesAndTheRestNext) {
    // Four writers so appends share commits and the test stays quick.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 1251; ++i) {
                store->appendStroke(Canvas, stroke(Anna, t * 10000 + i), Now);
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    ASSERT_EQ(storedCount(), 5004u);
    const Reply first = command(wire::appendCommand(Canvas, poll(Bob)));
    EXPECT_EQ(first.strokes.size(), 5000u);
    const Reply second = command(wire::appendCommand(Canvas, poll(Bob)));
    EXPECT_EQ(second.strokes.size(), 4u);
    EXPECT_GT(second.strokes[0].server_time, first.strokes.back().server_time);
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Bob))).strokes.size(), 0u);
    // get_strokes is not capped.
    EXPECT_EQ(command(wire::getStrokesCommand(Canvas)).strokes.size(), 5004u);
}

TEST_P(RequestHandlerTest, DeleteOfAnUnconfirmedStrokeByClientTimeNotifiesOthersOnce) {
    append(stroke(Anna, 7));
    append(stroke(Anna, 8));
    command(wire::appendCommand(Canvas, poll(Bob)));
    command(wire::appendCommand(Canvas, poll(Carol)));

    canvas::MWStroke unconfirmed = stroke(Anna, 7);
    unconfirmed.server_time = 0;
    const Reply deleter = command(wire::deleteCommand(Canvas, unconfirmed));
    EXPECT_EQ(deleter.delete_notices, 0);
    EXPECT_EQ(storedCount(), 1u);

    const Reply bob = command(wire::appendCommand(Canvas, poll(Bob)));
    EXPECT_EQ(bob.delete_notices, 1);
    EXPECT_EQ(bob.lines[0], std::string(Canvas) + ": delete: ");
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Bob))).delete_notices, 0);
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Carol))).delete_notices, 1);
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll("dave@1"))).delete_notices, 0);

    const Reply all = command(wire::getStrokesCommand(Canvas));
    ASSERT_EQ(all.strokes.size(), 1u);
    EXPECT_EQ(all.strokes[0].client_time, 8);
}

TEST_P(RequestHandlerTest, DeleteThatRemovesNothingOwesNoNotice) {
    append(stroke(Anna, 7));
    command(wire::appendCommand(Canvas, poll(Bob)));
    command(wire::deleteCommand(Canvas, stroke(Anna, 99)));
    command(wire::deleteCommand(Canvas, stroke(Bob, 7))); // someone else's client time
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Bob))).delete_notices, 0);
    EXPECT_EQ(storedCount(), 1u);
}

TEST_P(RequestHandlerTest, AReplyMovesTheMarkPastDeletedStrokesToTheLastStamp) {
    append(stroke(Anna, 1));
    append(stroke(Anna, 2), Canvas, Now + 1);
    ASSERT_EQ(command(wire::appendCommand(Canvas, poll(Bob))).strokes.size(), 2u);
    // The canvas's newest stamp now belongs to a deleted stroke.
    append(stroke(Anna, 3), Canvas, Now + 2);
    command(wire::deleteCommand(Canvas, stroke(Anna, 3)));
    const Reply reply = command(wire::appendCommand(Canvas, poll(Bob)));
    EXPECT_EQ(reply.delete_notices, 1);
    EXPECT_TRUE(reply.strokes.empty());
    // So the next poll knows from memory that nothing is new.
    EXPECT_EQ(backend->marks().take(Canvas, Bob, Now)->mark, store->lastStamp(Canvas));
    EXPECT_EQ(store->lastStamp(Canvas), Now + 2);
}

TEST_P(RequestHandlerTest, NoticeComesBeforeTheNewStrokes) {
    append(stroke(Anna, 7));
    command(wire::appendCommand(Canvas, poll(Bob)));
    command(wire::deleteCommand(Canvas, stroke(Anna, 7)));
    append(stroke(Anna, 9));
    const Reply bob = command(wire::appendCommand(Canvas, poll(Bob)));
    ASSERT_EQ(bob.lines.size(), 2u);
    EXPECT_EQ(wire::classifyReplyLine(bob.lines[0]).kind, wire::ReplyLineKind::Delete);
    EXPECT_EQ(wire::classifyReplyLine(bob.lines[1]).kind, wire::ReplyLineKind::Stroke);
}

TEST_P(RequestHandlerTest, GetStrokesSendsTheWholeCanvasInOrderAndMovesNoMark) {
    append(stroke(Anna, 5), Canvas, Now + 10);
    append(stroke(Bob, 1), Canvas, Now + 10);
    append(stroke(Anna, 3), Canvas, Now + 5);
    append(stroke(Anna, 1), "other@20100704123456789");
    const Reply all = command(wire::getStrokesCommand(Canvas));
    ASSERT_EQ(all.strokes.size(), 3u);
    EXPECT_EQ(all.strokes[0].client_time, 5);
    EXPECT_EQ(all.strokes[1].client_time, 1);
    EXPECT_EQ(all.strokes[2].client_time, 3);
    EXPECT_LT(all.strokes[0].server_time, all.strokes[1].server_time);
    EXPECT_LT(all.strokes[1].server_time, all.strokes[2].server_time);
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Carol))).strokes.size(), 3u);
    EXPECT_TRUE(command(wire::getStrokesCommand("empty@20100704123456789")).lines.size() <= 1);
}

TEST_P(RequestHandlerTest, LargeCanvasesAreReadAndSentInPages) {
    for (int i = 0; i < 60; ++i) {
        append(stroke(i % 2 ? Anna : Bob, i + 1, 2 + i % 5), Canvas, Now + i);
    }
    std::string expected;
    const auto stored = store->strokesAfter(Canvas, INT64_MIN, 1000);
    for (const StoredStroke& s : *stored) {
        expected += (expected.empty() ? "" : "\n") + std::string(Canvas) + ": append: " + s.text;
    }
    const auto render = [&] { return get("/render/" + std::string(Canvas) + ".png"); };
    const Response whole_picture = render();
    // A stroke a page after the first: the reply comes in pieces and reads as one body.
    context->page_bytes = 1;
    const Response first =
        handleRequest({"POST", "/", "", wire::getStrokesCommand(Canvas)}, *context, Now);
    ASSERT_EQ(first.status, 200);
    ASSERT_TRUE(first.next_piece);
    EXPECT_LT(first.body.size(), expected.size());
    EXPECT_EQ(drained(first).body, expected);
    // Strokes appended while the reply is on its way come at its end.
    Response growing =
        handleRequest({"POST", "/", "", wire::getStrokesCommand(Canvas)}, *context, Now);
    append(stroke(Carol, 99, 9), Canvas, Now + 1000); // longer than any before it
    const Reply grown = readReply(drained(std::move(growing)).body);
    ASSERT_EQ(grown.strokes.size(), 61u);
    EXPECT_EQ(grown.strokes.back().client_time, 99);
    // A render painted page by page is the same picture.
    const Response paged_picture = render();
    ASSERT_EQ(paged_picture.status, 200);
    context->page_bytes = 1 << 20;
    EXPECT_EQ(render().body, paged_picture.body);
    EXPECT_NE(whole_picture.body, paged_picture.body); // Carol's stroke is on it
    // A canvas of one page has its whole reply in the body.
    EXPECT_FALSE(
        handleRequest({"POST", "/", "", wire::getStrokesCommand("other@20100704123456789")},
                      *context, Now)
            .next_piece);
}

TEST_P(RequestHandlerTest, SearchMatchesCreatorNicknameIgnoringCaseNewestFirst) {
    append(stroke(Anna, 1), "Anna@20100704123456001", Now);
    append(stroke(Anna, 1), "anna@20100704123456002", Now + 100);
    append(stroke(Anna, 1), "annabel@20100704123456003", Now + 200);
    // A canvas with a picture and no stroke left.
    ASSERT_TRUE(store->setImageUrl("ANNA@20100704123456004", ImageKind::Thumbnail,
                                   "http://t.test/4.png", Now + 50));
    command(wire::appendCommand("anna@20100704123456005", poll(Anna))); // nothing in it

    const Reply found = command(wire::searchCanvasListCommand("x@1", "anna"));
    ASSERT_EQ(found.canvases.size(), 3u);
    EXPECT_EQ(found.canvases[0],
              std::make_pair(std::string("anna@20100704123456002"), std::string()));
    EXPECT_EQ(found.canvases[1], std::make_pair(std::string("ANNA@20100704123456004"),
                                                std::string("http://t.test/4.png")));
    EXPECT_EQ(found.canvases[2].first, "Anna@20100704123456001");
    EXPECT_EQ(found.lines[0], "anna@20100704123456002 ");

    const Reply recent = command(wire::searchCanvasListCommand("x@1", ""));
    ASSERT_EQ(recent.canvases.size(), 4u);
    EXPECT_EQ(recent.canvases[0].first, "annabel@20100704123456003");
    EXPECT_TRUE(command(wire::searchCanvasListCommand("x@1", "nobody")).canvases.empty());
}

TEST_P(RequestHandlerTest, SearchListsAtMost200) {
    for (int i = 0; i < 205; ++i) {
        char id[64];
        std::snprintf(id, sizeof id, "many@20100704123%06d", i);
        append(stroke(Anna, i), id, Now + i);
    }
    const Reply found = command(wire::searchCanvasListCommand("x@1", "MANY"));
    ASSERT_EQ(found.canvases.size(), 200u);
    EXPECT_EQ(found.canvases[0].first, "many@20100704123000204");
}

TEST_P(RequestHandlerTest, ImageUrlsAreKeptAndCheckedAndAnswerEmpty) {
    ASSERT_EQ(post(wire::appendCommand(Canvas, stroke(Anna, 1)), Now, keyOf(Anna)).status, 200);
    const Response thumb =
        post(wire::updateThumbnailCommand(Canvas, "http://t.test/1.png"), Now, keyOf(Anna));
    EXPECT_EQ(thumb.status, 200);
    EXPECT_EQ(thumb.body, "");
    EXPECT_EQ(
        post(wire::updateFullimageCommand(Canvas, "https://f.test/1.png"), Now, keyOf(Anna)).status,
        200);
    EXPECT_EQ(store->canvas(Canvas).info.thumbnail_url, "http://t.test/1.png");
    EXPECT_EQ(store->canvas(Canvas).info.fullimage_url, "https://f.test/1.png");
    EXPECT_EQ(
        post(wire::updateThumbnailCommand(Canvas, "javascript:alert(1)"), Now, keyOf(Anna)).status,
        400);
    EXPECT_EQ(post(wire::updateThumbnailCommand(Canvas, "http://t.test/\n" + std::string(Canvas) +
                                                            ": delete: "),
                   Now, keyOf(Anna))
                  .status,
              400);
    EXPECT_EQ(store->canvas(Canvas).info.thumbnail_url, "http://t.test/1.png");
}

TEST_P(RequestHandlerTest, AFirstKeyBindsItsUserNameAndOthersAreRefusedWithNothingChanged) {
    // Nobody's key yet: a client without keys works as it always did.
    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(Carol, 1))).status, 200);
    EXPECT_EQ(post(wire::deleteCommand(Canvas, stroke(Carol, 1))).status, 200);
    // Anna's first key binds her name.
    ASSERT_EQ(post(wire::appendCommand(Canvas, stroke(Anna, 1)), Now, keyOf(Anna)).status, 200);
    ASSERT_EQ(post(wire::appendCommand(Canvas, stroke(Anna, 2)), Now, keyOf(Anna)).status, 200);
    append(stroke(Bob, 3), Canvas, Now + 1); // Bob, keyless, drew after her
    ASSERT_EQ(storedCount(), 3u);
    const struct {
        const char* what;
        std::string body;
        std::string key;
    } refused[] = {
        {"append without key", wire::appendCommand(Canvas, stroke(Anna, 4)), ""},
        {"append with another key", wire::appendCommand(Canvas, stroke(Anna, 4)), keyOf(Anna, 'x')},
        {"append with Bob's key", wire::appendCommand(Canvas, stroke(Anna, 4)), keyOf(Bob)},
        {"delete without key", wire::deleteCommand(Canvas, stroke(Anna, 1)), ""},
        {"delete with another key", wire::deleteCommand(Canvas, stroke(Anna, 1)), keyOf(Anna, 'x')},
        {"poll without key", wire::appendCommand(Canvas, poll(Anna)), ""},
        {"poll with another key", wire::appendCommand(Canvas, poll(Anna)), keyOf(Anna, 'x')},
    };
    for (const auto& c : refused) {
        const Response response = post(c.body, Now + 2, c.key);
        EXPECT_EQ(response.status, 403) << c.what;
        EXPECT_EQ(response.body, "this user name is bound to another key\n") << c.what;
        EXPECT_EQ(response.refusal_reason, RefusalReason::None) << c.what; // not counted as a ban
    }
    EXPECT_EQ(storedCount(), 3u);
    // The refused polls moved no mark: Bob's stroke is still owed to Anna. The refused delete
    // owes Bob no notice.
    const Reply anna = command(wire::appendCommand(Canvas, poll(Anna)), Now + 3, keyOf(Anna));
    ASSERT_EQ(anna.strokes.size(), 1u);
    EXPECT_EQ(anna.strokes[0].user_name, Bob);
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Bob))).delete_notices, 0);
    // Her key still works for everything, and the split append path checks it too.
    const Request keyless{"POST", "/", "", wire::appendCommand(Canvas, stroke(Anna, 5)), ""};
    ASSERT_TRUE(appendCommandOf(keyless));
    EXPECT_EQ(keyRefusal(keyless, *context, Anna, Now)->status, 403);
    Request keyed = keyless;
    keyed.key = keyOf(Anna);
    EXPECT_FALSE(keyRefusal(keyed, *context, Anna, Now));
    EXPECT_EQ(post(wire::deleteCommand(Canvas, stroke(Anna, 1)), Now + 4, keyOf(Anna)).status, 200);
    EXPECT_EQ(storedCount(), 2u);
    // A malformed header is refused whoever the command is for.
    EXPECT_EQ(post(wire::appendCommand(Canvas, poll(Carol)), Now, "carol@1 zz").status, 400);
}

TEST_P(RequestHandlerTest, PicturesComeOnlyFromAKeyedUserWithAStroke) {
    append(stroke(Carol, 1)); // Carol never sends a key
    ASSERT_EQ(post(wire::appendCommand(Canvas, stroke(Anna, 2)), Now, keyOf(Anna)).status, 200);
    const std::string url = "http://t.test/1.png";
    const struct {
        const char* what;
        std::string key;
        const char* reason;
    } refused[] = {
        {"no key", "", "pictures are taken only with a key\n"},
        {"a stroke but no key yet", keyOf(Carol),
         "this user name is bound to another key\n"}, // bound first below
        {"keyed, without a stroke", keyOf(Bob),
         "pictures are taken only from a user with a stroke on the canvas\n"},
        {"a stroke, another key", keyOf(Anna, 'x'), "this user name is bound to another key\n"},
    };
    // Carol's name is taken by someone else's key before she ever sends one.
    ASSERT_EQ(
        post(wire::appendCommand("other@20100704123456789", poll(Carol)), Now, keyOf(Carol, 'm'))
            .status,
        200);
    for (const auto& c : refused) {
        for (const std::string& body : {wire::updateThumbnailCommand(Canvas, url),
                                        wire::updateFullimageCommand(Canvas, url)}) {
            const Response response = post(body, Now, c.key);
            EXPECT_EQ(response.status, 403) << c.what;
            EXPECT_EQ(response.body, c.reason) << c.what;
        }
    }
    EXPECT_EQ(store->canvas(Canvas).info.thumbnail_url, "");
    EXPECT_EQ(store->canvas(Canvas).info.fullimage_url, "");
    // A refused picture binds no name: Bob's first key is still to come.
    EXPECT_EQ(store->checkUserKey(Bob, "", Now), KeyCheck::Unbound);
    EXPECT_EQ(post(wire::updateThumbnailCommand(Canvas, url), Now, keyOf(Anna)).status, 200);
    EXPECT_EQ(store->canvas(Canvas).info.thumbnail_url, url);
}

TEST_P(RequestHandlerTest, LimitsAreRefusedWithNothingStored) {
    const struct {
        std::string body;
        int status;
    } cases[] = {
        {wire::appendCommand(Canvas, stroke(Anna, 1)) + std::string(MaxCommandBody, ' '), 413},
        {wire::appendCommand("", stroke(Anna, 1)), 400},
        {wire::appendCommand(std::string(257, 'c'), stroke(Anna, 1)), 400},
        {wire::appendCommand("a\tb@1", stroke(Anna, 1)), 400},
        {wire::appendCommand(Canvas, stroke(Anna, 1, 100001)), 413},
        {wire::appendCommand(Canvas, stroke(std::string(257, 'u'), 1)), 400},
        {wire::appendCommand(Canvas, stroke("evil\n" + std::string(Canvas) + ": delete: ", 1)),
         400},
        {wire::searchCanvasListCommand(Canvas, std::string(257, 'n')), 400},
        {"garbage", 400},
        {std::string("\0\xff\xfe: append: \x01", 14), 400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(post(c.body).status, c.status) << c.body.substr(0, 80);
    }
    EXPECT_EQ(storedCount(), 0u);
    EXPECT_TRUE(store->findCanvases("", 200)->empty());
    // The limits themselves are allowed.
    canvas::MWStroke largest = stroke(std::string(256, 'u'), 1, 0);
    largest.points_x.assign(100000, 1);
    largest.points_y.assign(100000, 2);
    EXPECT_EQ(post(wire::appendCommand(std::string(256, 'c'), largest)).status, 200);
}

// The limits per client, each with its own answer: a status, a one-line reason, and for 429 the
// seconds to wait.
class ClientLimitsTest : public RequestHandlerTest {
protected:
    void limit(const ClientLimitOptions& options) {
        limits = std::make_unique<ClientLimits>(options);
        context->limits = limits.get();
    }
    Response from(const std::string& client, const std::string& body, int64_t now = Now) {
        Request request{"POST", "/", "", body};
        request.client = client;
        return drained(handleRequest(request, *context, now));
    }
    Response upload(const std::string& client, const std::string& body, int64_t now = Now) {
        Request request{"POST", "/upload.cgi",
                        "multipart/form-data; boundary=----BOUNDARYBOUNDARY----", body};
        request.client = client;
        return handleRequest(request, *context, now);
    }

    std::unique_ptr<ClientLimits> limits;
};

INSTANTIATE_TEST_SUITE_P(Backends, ClientLimitsTest,
                         ::testing::Values(testing::Backend::Sqlite, testing::Backend::Postgres),
                         testing::backendName);

TEST_P(ClientLimitsTest, AppendsOfOneClientAreRefused429WithRetryAfterAndNothingStored) {
    ClientLimitOptions options;
    options.appends = {1, 3};
    options.polls = {};
    limit(options);
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, stroke(Anna, i))).status, 200);
    }
    const Response refused = from("10.0.0.1", wire::appendCommand(Canvas, stroke(Anna, 4)));
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.body, "too many appends; try again in 1 s\n");
    EXPECT_EQ(header(refused, "Retry-After"), "1");
    EXPECT_EQ(storedCount(), 3u);
    // The split path the server takes for appends refuses the same way, and counts too.
    const auto split =
        appendCommandOf({"POST", "/", "", wire::appendCommand(Canvas, stroke(Anna, 5))});
    ASSERT_TRUE(split);
    const auto split_refusal =
        refuseAppend(*context, "10.0.0.1", split->canvas_id, split->stroke.user_name, Now);
    ASSERT_TRUE(split_refusal);
    EXPECT_EQ(split_refusal->status, 429);
    // A client is its address and user name: the others are not held back.
    EXPECT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, stroke(Bob, 1))).status, 200);
    EXPECT_EQ(from("10.0.0.2", wire::appendCommand(Canvas, stroke(Anna, 6))).status, 200);
    // Polls are not appends, and the client may append again once a token is back.
    EXPECT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, poll(Anna))).status, 200);
    EXPECT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, stroke(Anna, 7)), Now + 1000).status,
              200);
    EXPECT_EQ(storedCount(), 6u);
}

TEST_P(ClientLimitsTest, PollsHaveABucketOfTheirOwn) {
    ClientLimitOptions options;
    options.appends = {};
    options.polls = {0.2, 2};
    limit(options);
    EXPECT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, poll(Anna))).status, 200);
    EXPECT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, poll(Anna))).status, 200);
    const Response refused = from("10.0.0.1", wire::appendCommand(Canvas, poll(Anna)));
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.body, "too many polls; try again in 5 s\n");
    EXPECT_EQ(header(refused, "Retry-After"), "5");
    EXPECT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, stroke(Anna, 1))).status, 200);
    EXPECT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, poll(Bob))).status, 200);
    // Without limits, nothing is counted.
    context->limits = nullptr;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(from("10.0.0.1", wire::appendCommand(Canvas, poll(Anna))).status, 200);
    }
}

TEST_P(ClientLimitsTest, UploadsPerAddressAreBoundedByCountAndBytes) {
    const std::string png = *png::encodePng(canvas::Surface(64, 96, canvas::OpaqueWhite));
    const std::string body = gyazoBody(png);
    const double bytes = static_cast<double>(body.size());
    ClientLimitOptions options;
    options.uploads = {0.1, 2};
    options.upload_bytes = {};
    limit(options);
    EXPECT_EQ(upload("10.0.0.1", body).status, 200);
    EXPECT_EQ(upload("10.0.0.1", body).status, 200);
    const Response by_count = upload("10.0.0.1", body);
    EXPECT_EQ(by_count.status, 429);
    EXPECT_EQ(by_count.body, "too many uploads; try again in 10 s\n");
    EXPECT_EQ(header(by_count, "Retry-After"), "10");
    EXPECT_EQ(upload("10.0.0.2", body).status, 200);
    EXPECT_EQ(upload("10.0.0.1", body, Now + 10'000).status, 200);
    // By bytes: two and a half bodies at once, then a tenth of one a second.
    options.uploads = {};
    options.upload_bytes = {bytes / 10, bytes * 2.5};
    limit(options);
    EXPECT_EQ(upload("10.0.0.1", body).status, 200);
    EXPECT_EQ(upload("10.0.0.1", body).status, 200);
    const Response by_bytes = upload("10.0.0.1", body);
    EXPECT_EQ(by_bytes.status, 429);
    EXPECT_EQ(header(by_bytes, "Retry-After"), "5"); // half a body short
    EXPECT_EQ(upload("10.0.0.1", body, Now + 5'000).status, 200);
}

TEST_P(ClientLimitsTest, AFullCanvasRefusesAppends409WhileReadsGoOn) {
    context->max_canvas_strokes = 3;
    for (int i = 1; i <= 3; ++i) {
        append(stroke(Anna, i));
    }
    const Response full = post(wire::appendCommand(Canvas, stroke(Bob, 1)));
    EXPECT_EQ(full.status, 409);
    EXPECT_EQ(full.body, "canvas is full\n");
    EXPECT_EQ(storedCount(), 3u);
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Bob))).strokes.size(), 3u);
    EXPECT_EQ(command(wire::getStrokesCommand(Canvas)).strokes.size(), 3u);
    EXPECT_EQ(post(wire::appendCommand("other@20100704123456789", stroke(Bob, 1))).status, 200);
    // A delete makes room again.
    command(wire::deleteCommand(Canvas, stroke(Anna, 2)));
    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(Bob, 2))).status, 200);
    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(Bob, 3))).status, 409);
    // Bytes count the same way; 0 turns either cap off.
    context->max_canvas_strokes = 0;
    context->max_canvas_bytes = static_cast<int64_t>(store->canvasSize(Canvas)->bytes) + 1;
    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(Bob, 4))).status, 200);
    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(Bob, 5))).status, 409);
    context->max_canvas_bytes = 0;
    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(Bob, 6))).status, 200);
}

TEST_P(RequestHandlerTest, APollReplyHoldsAboutAPageAndTheRestFollows) {
    for (int i = 1; i <= 30; ++i) {
        append(stroke(Anna, i, 50));
    }
    const size_t stroke_bytes = store->strokesAfter(Canvas, 0, 1)->front().text.size();
    context->page_bytes = stroke_bytes * 10;
    size_t received = 0;
    int replies = 0;
    while (true) {
        const Reply reply = command(wire::appendCommand(Canvas, poll(Bob)));
        if (reply.strokes.empty()) {
            break;
        }
        EXPECT_LE(reply.strokes.size(), 10u);
        received += reply.strokes.size();
        ++replies;
    }
    EXPECT_EQ(received, 30u);
    EXPECT_GE(replies, 3);
    // However small the page, a reply carries a stroke.
    context->page_bytes = 1;
    append(stroke(Anna, 31, 50));
    EXPECT_EQ(command(wire::appendCommand(Canvas, poll(Bob))).strokes.size(), 1u);
}

TEST_P(RequestHandlerTest, SharePageShowsPictureIdAndAppLinkAllEscaped) {
    const std::string id = "<b>\"x'&@20100704123456789";
    append(stroke(Anna, 1), id);
    const Response page = get("/?v:0hSboGx");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
    EXPECT_FALSE(header(page, "Content-Security-Policy").empty());
    EXPECT_EQ(page.body.find("<b>"), std::string::npos);
    EXPECT_NE(page.body.find("&lt;b&gt;&quot;x&#39;&amp;@20100704123456789"), std::string::npos);
    EXPECT_NE(page.body.find("href=\"velmorastra://%3Cb%3E%22x%27%26@20100704123456789\""),
              std::string::npos);
    EXPECT_NE(
        page.body.find("src=\"http://canvas.test/render/%3Cb%3E%22x%27%26@20100704123456789.png\""),
        std::string::npos);
    // A registered full image is the picture.
    post(wire::appendCommand(id, stroke(Bob, 2)), Now, keyOf(Bob));
    ASSERT_EQ(post(wire::updateFullimageCommand(id, "https://img.test/full.png?a=1&b=\"2\""), Now,
                   keyOf(Bob))
                  .status,
              200);
    EXPECT_NE(
        get("/?v:0hSboGx").body.find("src=\"https://img.test/full.png?a=1&amp;b=&quot;2&quot;\""),
        std::string::npos);
}

TEST_P(RequestHandlerTest, SharePageKeepsItsFirstCanvasAndListsTheOthersWithItsCode) {
    // The victim's canvas has the code first; another nickname with the same time stamp draws
    // later and more, and registers a picture of its own.
    const std::string victim = Canvas;
    const std::string attacker = "mallory@20100704123456789";
    append(stroke(Anna, 1), victim, Now);
    const std::string mallory = "mallory@20100704130000009";
    for (int i = 0; i < 3; ++i) {
        post(wire::appendCommand(attacker, stroke(mallory, 10 + i)), Now + 1000 + i,
             keyOf(mallory));
    }
    ASSERT_EQ(post(wire::updateFullimageCommand(attacker, "https://img.test/attacker.png"),
                   Now + 2000, keyOf(mallory))
                  .status,
              200);
    const Response page = get("/?v:0hSboGx");
    ASSERT_EQ(page.status, 200);
    const size_t heading = page.body.find("<h1>");
    const size_t others = page.body.find("<h2>");
    ASSERT_NE(others, std::string::npos);
    EXPECT_EQ(page.body.find("<h1>" + victim + "</h1>"), heading);
    EXPECT_EQ(page.body.find("attacker.png"), std::string::npos);
    const size_t picture = page.body.find("src=\"http://canvas.test/render/" + victim + ".png\"");
    EXPECT_LT(picture, others);
    const size_t open = page.body.find("class=\"open\" href=\"velmorastra://" + victim + "\"");
    EXPECT_LT(open, others);
    EXPECT_GT(page.body.find("class=\"other\" href=\"velmorastra://" + attacker + "\""), others);
    EXPECT_EQ(page.body.find("class=\"other\" href=\"velmorastra://" + victim + "\""),
              std::string::npos);
}

TEST_P(RequestHandlerTest, ReadsOfCanvasRowsAre503WhileTheDatabaseRefusesWrites) {
    // What a full disk does to the copy of journaled strokes into the database, made
    // deterministic: every insert of a stroke row is refused. Appends still go to the journal.
    if (GetParam() != testing::Backend::Sqlite) {
        GTEST_SKIP() << "SQLite's journal against its own file";
    }
    const auto exec = [&](const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    exec("CREATE TRIGGER disk_full BEFORE INSERT ON strokes "
         "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END");
    append(stroke(Anna, 1), Canvas);
    struct Case {
        const char* what;
        std::function<Response()> ask;
    };
    const Case cases[] = {
        {"search by nickname", [&] { return post(wire::searchCanvasListCommand("x@1", "anna")); }},
        {"most recent canvases", [&] { return post(wire::searchCanvasListCommand("x@1", "")); }},
        {"share page", [&] { return get("/?v:0hSboGx"); }},
        {"front page", [&] { return get("/"); }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.ask().status, 503) << c.what;
    }
    // Once the database takes writes again the same reads find the canvas.
    exec("DROP TRIGGER disk_full");
    for (const Case& c : cases) {
        const Response answer = c.ask();
        EXPECT_EQ(answer.status, 200) << c.what;
        EXPECT_NE(answer.body.find(Canvas), std::string::npos) << c.what;
    }
}

TEST_P(RequestHandlerTest, FrontPageListsTheRecentCanvasesWithTheirPicturesAndPages) {
    const Response empty = get("/");
    EXPECT_EQ(empty.status, 200);
    EXPECT_NE(empty.body.find("version " VELMO_TEST_VERSION), std::string::npos);
    EXPECT_NE(empty.body.find("velmorastra --server http://canvas.test/"), std::string::npos);

    const std::string odd = "<b>\"x'&@20100704123456789"; // date ID 0hSboGx
    const std::string undated = "no-date-here";
    append(stroke(Anna, 1), Canvas, Now);
    append(stroke(Bob, 2), odd, Now + 1000);
    append(stroke(Carol, 3), undated, Now + 2000);
    // A canvas holding only a picture, as one registered before keys may.
    ASSERT_TRUE(store->setImageUrl("image-only@20101201095959123", ImageKind::Thumbnail,
                                   "http://t/x.png", Now + 3000));
    const Response page = get("/");
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
    EXPECT_EQ(header(page, "Content-Security-Policy"), PagePolicy);
    EXPECT_EQ(page.body.find("<script"), std::string::npos);
    EXPECT_EQ(page.body.find("<b>"), std::string::npos);
    EXPECT_NE(page.body.find("Velmorastra"), std::string::npos);
    EXPECT_NE(page.body.find("version " VELMO_TEST_VERSION), std::string::npos);

    // Newest activity first; each picture is the canvas's render, inside a link to its page.
    const std::string odd_render = "http://canvas.test/render/%3Cb%3E%22x%27%26@20100704123456789";
    const struct {
        std::string link;
        std::string picture;
        std::string id_text;
    } expected[] = {
        {"http://canvas.test/?v:0wckh91", "http://canvas.test/render/image-only@20101201095959123",
         "image-only@20101201095959123"},
        {"http://canvas.test/render/no-date-here.png", "http://canvas.test/render/no-date-here",
         undated},
        {"http://canvas.test/?v:0hSboGx", odd_render,
         "&lt;b&gt;&quot;x&#39;&amp;@20100704123456789"},
        {"http://canvas.test/?v:0hSboGx", "http://canvas.test/render/" + std::string(Canvas),
         Canvas},
    };
    size_t at = 0;
    for (const auto& e : expected) {
        const std::string card =
            "<li><a href=\"" + e.link + "\"><img src=\"" + e.picture + ".png?w=160&amp;h=240\"";
        const size_t found = page.body.find(card, at);
        ASSERT_NE(found, std::string::npos) << card << "\n" << page.body;
        EXPECT_NE(page.body.find("<br>" + e.id_text + "</a></li>", found), std::string::npos);
        at = found + card.size();
    }
    // The page's own links lead where they say: the share page of the odd canvas names it.
    EXPECT_NE(get("/?v:0hSboGx").body.find("<h1>"), std::string::npos);
    EXPECT_EQ(get(odd_render.substr(18) + ".png?w=160&h=240").status, 200);
}

TEST_P(RequestHandlerTest, SharePageOfAnUnknownIdIs404) {
    EXPECT_EQ(get("/?v:0000000").status, 404);
    EXPECT_EQ(get("/?v:<script>").status, 404);
    EXPECT_EQ(get("/?v:").status, 404);
    EXPECT_EQ(get("/?x:0hSboGx").status, 404);
    EXPECT_EQ(get("/?v:0000000").content_type, "text/html; charset=utf-8");
    EXPECT_EQ(get("/").status, 200);
}

// Small fake files of the browser page: a template naming every placeholder.
BrowserPage fakeBrowserPage() {
    return BrowserPage("<title>{{CANVAS_ID}}</title><link href=\"{{STYLE_URL}}\">"
                       "<script src=\"{{SCRIPT_URL}}\" data-wasm=\"{{WASM_URL}}\" "
                       "data-canvas=\"{{CANVAS_ID}}\"></script>",
                       "body{}", "export {};", std::string("\0asm\x01\0\0\0", 8));
}

TEST_P(RequestHandlerTest, DrawPageIsTheTemplateForAnyCanvasIdUnderItsOwnPolicy) {
    const BrowserPage files = fakeBrowserPage();
    context->browser_page = &files;
    context->public_url = "https://canvas.test/app/";
    const struct {
        std::string target;
        std::string canvas_id;
    } cases[] = {
        {"/draw/" + std::string(Canvas), Canvas},
        // Never drawn on, and escaped in text and attributes alike.
        {"/draw/%3Cb%3E%22x%27%26@20100704123456789", "<b>\"x'&@20100704123456789"},
        {"/draw/caf%C3%A9+x@1?from=share", "caf\xc3\xa9+x@1"},
        {"/draw/" + std::string(256, 'a'), std::string(256, 'a')},
    };
    for (const auto& c : cases) {
        const Response page = get(c.target);
        ASSERT_EQ(page.status, 200) << c.target;
        EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
        EXPECT_EQ(page.body, files.page(c.canvas_id, "/app/")) << c.target;
        const std::pair<std::string, std::string> headers[] = {
            {"Cache-Control", "no-cache"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "same-origin"},
            {"Content-Security-Policy",
             "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; "
             "img-src 'self' data: blob:; connect-src 'self'; base-uri 'none'; form-action "
             "'none'; frame-ancestors 'none'"},
        };
        EXPECT_EQ(page.headers.size(), std::size(headers));
        for (const auto& [name, value] : headers) {
            EXPECT_EQ(header(page, name), value) << name;
        }
    }
    EXPECT_EQ(get("/draw/%3Cb%3E%22x%27%26@20100704123456789").body.find("<b>"), std::string::npos);
    // What commands refuse as a canvas ID names no page.
    for (const std::string& bad :
         std::vector<std::string>{"/draw/", "/draw/a%20b", "/draw/a%01", "/draw/a%7F", "/draw/%zz",
                                  "/draw/50%", "/draw/" + std::string(257, 'a')}) {
        const Response refused = get(bad);
        EXPECT_EQ(refused.status, 400) << bad;
        EXPECT_EQ(refused.content_type, "text/html; charset=utf-8") << bad;
    }
    EXPECT_EQ(get("/draw").status, 404);
    EXPECT_EQ(handleRequest({"POST", "/draw/x", "", ""}, *context, Now).status, 405);
    EXPECT_EQ(handleRequest({"HEAD", "/draw/x", "", ""}, *context, Now).status, 405);
    // Without the page installed, a page that says so.
    context->browser_page = nullptr;
    const Response missing = get("/draw/" + std::string(Canvas));
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.content_type, "text/html; charset=utf-8");
    EXPECT_NE(missing.body.find("not installed on this server"), std::string::npos);
    EXPECT_EQ(get("/draw/%zz").status, 404);
}

TEST_P(RequestHandlerTest, WebFilesAreServedUnderTheirHashedNamesOnly) {
    const BrowserPage files = fakeBrowserPage();
    context->browser_page = &files;
    for (const BrowserPage::File* file : {&files.style(), &files.script(), &files.wasm()}) {
        const Response answer = get("/web/" + file->name + "?v=2");
        ASSERT_EQ(answer.status, 200) << file->name;
        EXPECT_EQ(answer.content_type, file->content_type);
        // The kept bytes themselves, not a copy.
        EXPECT_EQ(answer.shared_body.get(), file->bytes.get());
        EXPECT_EQ(answer.body, "");
        EXPECT_EQ(header(answer, "Cache-Control"), "public, max-age=31536000, immutable");
        EXPECT_EQ(header(answer, "X-Content-Type-Options"), "nosniff");
    }
    EXPECT_EQ(get("/web/velmorastra-web.wasm").status, 404);
    EXPECT_EQ(get("/web/x/" + files.wasm().name).status, 404);
    EXPECT_EQ(handleRequest({"POST", "/web/" + files.wasm().name, "", ""}, *context, Now).status,
              405);
    context->browser_page = nullptr;
    EXPECT_EQ(get("/web/" + files.wasm().name).status, 404);
}

TEST_P(RequestHandlerTest, WebFilesGoGzippedToAClientThatTakesGzip) {
    const std::string script = "const canvas = 1;\n" + std::string(20000, ';');
    const BrowserPage files("{{SCRIPT_URL}}", "body{}", script, std::string("\0asm\x01\0\0\0", 8));
    context->browser_page = &files;
    const auto fetch = [&](const std::string& name, const std::string& accept) {
        Request request{"GET", "/web/" + name, "", ""};
        request.accept_encoding = accept;
        return handleRequest(request, *context, Now);
    };
    const auto inflated = [](const std::string& gz) {
        z_stream stream{};
        EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
        std::string out(1 << 16, '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
        stream.avail_in = static_cast<uInt>(gz.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
        out.resize(stream.total_out);
        inflateEnd(&stream);
        return out;
    };
    for (const std::string accept : {"gzip, deflate, br", "br;q=1, GZip ;q=0.5", "x-gzip, gzip"}) {
        const Response answer = fetch(files.script().name, accept);
        ASSERT_EQ(header(answer, "Content-Encoding"), "gzip") << accept;
        ASSERT_TRUE(answer.shared_body);
        EXPECT_LT(answer.shared_body->size(), script.size() / 10);
        EXPECT_EQ(inflated(*answer.shared_body), script);
        EXPECT_EQ(header(answer, "Vary"), "Accept-Encoding");
    }
    for (const std::string accept : {"", "br", "gzip;q=0", "gzip; q=0.000", "*", "gzipped"}) {
        const Response answer = fetch(files.script().name, accept);
        EXPECT_EQ(header(answer, "Content-Encoding"), "") << accept;
        EXPECT_EQ(answer.shared_body.get(), files.script().bytes.get()) << accept;
        EXPECT_EQ(header(answer, "Vary"), "Accept-Encoding");
    }
    // A file gzip does not shrink goes as it is.
    EXPECT_EQ(header(fetch(files.wasm().name, "gzip"), "Content-Encoding"), "");
}

TEST_P(RequestHandlerTest, SharePageAndFrontPageLinkTheBrowserPageOnlyWhenInstalled) {
    const std::string id = "<b>\"x'&@20100704123456789"; // date ID 0hSboGx
    append(stroke(Anna, 1), id);
    const std::string path = "/draw/%3Cb%3E%22x%27%26@20100704123456789";
    const std::string link = "href=\"http://canvas.test" + path + "\"";
    for (const char* target : {"/?v:0hSboGx", "/"}) {
        EXPECT_EQ(get(target).body.find(link), std::string::npos) << target;
        EXPECT_EQ(get(target).body.find("Draw in the browser"), std::string::npos) << target;
    }
    const BrowserPage files = fakeBrowserPage();
    context->browser_page = &files;
    const std::string share = get("/?v:0hSboGx").body;
    EXPECT_NE(share.find(link + ">Draw in the browser</a>"), std::string::npos) << share;
    EXPECT_LT(share.find("Open in Velmorastra"), share.find(link));
    const std::string front = get("/").body;
    EXPECT_NE(front.find(link + ">Draw in the browser</a>"), std::string::npos) << front;
    // The link leads to the page of that very canvas.
    const Response page = get(path);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, files.page(id, "/"));
}

TEST_P(RequestHandlerTest, RenderReplaysTheStrokesWithTheEngine) {
    append(stroke(Anna, 1, 5));
    append(stroke(Bob, 2, 3));
    const Response png = get("/render/" + std::string(Canvas) + ".png");
    ASSERT_EQ(png.status, 200);
    EXPECT_EQ(png.content_type, "image/png");
    EXPECT_EQ(header(png, "Cache-Control"), "no-cache");
    EXPECT_EQ(header(png, "X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(header(png, "ETag").size(), 34u);
    canvas::CanvasGeometry geometry;
    geometry.setScreenSize(320, 480);
    EXPECT_TRUE(testing::rgbOfPng(png.body) ==
                testing::rgbOfSurface(canvas::renderPicture(storedStrokes(geometry), geometry)));

    const Response big = get("/render/" + std::string(Canvas) + ".png?w=640&h=960");
    ASSERT_EQ(big.status, 200);
    geometry.setScreenSize(640, 960);
    EXPECT_TRUE(testing::rgbOfPng(big.body) ==
                testing::rgbOfSurface(canvas::renderPicture(storedStrokes(geometry), geometry)));
}

TEST_P(RequestHandlerTest, RenderIsBounded) {
    append(stroke(Anna, 1));
    const std::string base = "/render/" + std::string(Canvas) + ".png";
    EXPECT_EQ(get(base + "?w=1281").status, 400);
    EXPECT_EQ(get(base + "?h=1921").status, 400);
    EXPECT_EQ(get(base + "?w=0").status, 400);
    EXPECT_EQ(get(base + "?w=-5").status, 400);
    EXPECT_EQ(get(base + "?w=99999999999999999999").status, 400);
    EXPECT_EQ(get(base + "?size=big").status, 400);
    EXPECT_EQ(get(base + "?w=5&w=6").status, 400);
    EXPECT_EQ(get(base + "?w=1280&h=1920").status, 200);
    EXPECT_EQ(get("/render/nobody@20100704123456789.png").status, 404);
    EXPECT_EQ(get("/render/" + std::string(Canvas)).status, 404);
    EXPECT_EQ(get("/render/a%20b.png").status, 400);
    EXPECT_EQ(get("/render/%zz.png").status, 400);
}

// The route a client opening a big canvas starts from: the layers at its size, and what they
// hold, so it replays only the strokes after them.
TEST_P(RequestHandlerTest, LayersAreTheStrokesReplayedAtTheClientsSize) {
    RenderCache cache(64 << 20);
    context->renders = &cache;
    testing::HandStrokes hand(7);
    for (int i = 1; i <= 30; ++i) {
        canvas::MWStroke s = hand.next();
        s.user_name = Anna;
        s.client_time = i;
        append(s, Canvas, Now + i);
    }
    const int64_t last = store->lastStamp(Canvas);
    for (const auto& [w, h] : {std::pair{600, 800}, std::pair{333, 500}, std::pair{1920, 1080}}) {
        const std::string where = std::to_string(w) + " x " + std::to_string(h);
        const Response file = get("/layers/" + std::string(Canvas) + ".png?w=" + std::to_string(w) +
                                  "&h=" + std::to_string(h));
        ASSERT_EQ(file.status, 200) << where;
        EXPECT_EQ(file.content_type, "image/png");
        EXPECT_EQ(header(file, "Cache-Control"), "no-cache");
        EXPECT_EQ(header(file, "X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(header(file, "ETag").size(), 34u);
        const auto decoded = png::decodeLayersPng(file.body);
        ASSERT_TRUE(decoded) << where;
        canvas::CanvasGeometry geometry;
        geometry.setScreenSize(static_cast<float>(w), static_cast<float>(h));
        ASSERT_EQ(decoded->layers[0].width(), geometry.canvas_width);
        ASSERT_EQ(decoded->layers[0].height(), geometry.canvas_height);
        canvas::LayerSurfaces expected{canvas::Surface(w, h), canvas::Surface(w, h),
                                       canvas::Surface(w, h)};
        canvas::resetLayers(expected);
        canvas::StrokePainter painter;
        canvas::replayStrokes(painter, expected, geometry, storedStrokes(geometry));
        EXPECT_TRUE(decoded->layers == expected) << where;
        EXPECT_EQ(decoded->through, last) << where;
        EXPECT_EQ(decoded->strokes, 30) << where;
    }
    // A picture only: nothing painted, nothing to replay after.
    ASSERT_TRUE(store->setImageUrl("image@20100704123456789", ImageKind::Thumbnail,
                                   "http://t.test/x.png", Now));
    const auto blank =
        png::decodeLayersPng(get("/layers/image@20100704123456789.png?w=4&h=6").body);
    ASSERT_TRUE(blank);
    EXPECT_EQ(blank->through, 0);
    EXPECT_EQ(blank->strokes, 0);
    // Every stroke gone: no canvas.
    for (int i = 1; i <= 30; ++i) {
        ASSERT_EQ(post(wire::deleteCommand(Canvas, stroke(Anna, i))).status, 200);
    }
    EXPECT_EQ(get("/layers/" + std::string(Canvas) + ".png?w=600&h=800").status, 404);
    EXPECT_EQ(get("/layers/" + std::string(Canvas) + ".png?w=600&h=800").body, "no such canvas\n");
}

TEST_P(RequestHandlerTest, RendersAnswerTheirETagWith304UntilTheCanvasChanges) {
    RenderCache cache(64 << 20);
    context->renders = &cache;
    append(stroke(Anna, 1, 4));
    for (const std::string& target : {"/render/" + std::string(Canvas) + ".png?w=64&h=96",
                                      "/layers/" + std::string(Canvas) + ".png?w=64&h=96"}) {
        const Response first = get(target);
        ASSERT_EQ(first.status, 200) << target;
        const std::string etag = header(first, "ETag");
        const Response again = get(target, etag);
        EXPECT_EQ(again.status, 304) << target;
        EXPECT_TRUE(again.body.empty());
        EXPECT_EQ(header(again, "ETag"), etag);
        EXPECT_EQ(header(again, "Cache-Control"), "no-cache");
        EXPECT_EQ(get(target, "*").status, 304);
        EXPECT_TRUE(get(target, "\"someone else's\"").body == first.body);
        // The same picture without the cache has the same ETag.
        context->renders = nullptr;
        EXPECT_EQ(get(target, etag).status, 304) << target;
        context->renders = &cache;
    }
    const std::string picture = "/render/" + std::string(Canvas) + ".png?w=64&h=96";
    const std::string etag = header(get(picture), "ETag");
    append(stroke(Bob, 2, 3), Canvas, Now + 5);
    const Response changed = get(picture, etag);
    EXPECT_EQ(changed.status, 200);
    EXPECT_NE(header(changed, "ETag"), etag);
}

TEST_P(RequestHandlerTest, LayersAreBoundedBySideAndPixels) {
    append(stroke(Anna, 1));
    // Sizes are checked before the canvas is looked for: an unknown canvas tells which pass.
    const std::string unknown = "/layers/nobody@20100704123456789.png";
    const struct {
        const char* query;
        int status;
    } cases[] = {
        {"?w=1&h=1", 404},
        {"?h=6&w=4", 404},
        {"?w=4096&h=2025", 404},
        {"?w=3840&h=2160", 404},
        {"?w=2025&h=4096", 404},
        {"?w=3841&h=2160", 400},
        {"?w=4097&h=1", 400},
        {"?w=1&h=4097", 400},
        {"?w=0&h=5", 400},
        {"?w=5", 400},
        {"?h=5", 400},
        {"", 400},
        {"?w=5&h=5&w=6", 400},
        {"?w=5&h=x", 400},
        {"?w=5&h=5&z=1", 400},
        {"?w=-1&h=5", 400},
        {"?w=5&h=99999999999", 400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(get(unknown + c.query).status, c.status) << c.query;
    }
    EXPECT_EQ(get("/layers/" + std::string(Canvas) + ".png?w=1&h=1").status, 200);
    EXPECT_EQ(get("/layers/" + std::string(Canvas) + "?w=1&h=1").status, 404);
    EXPECT_EQ(get("/layers/a%20b.png?w=1&h=1").status, 400);
    EXPECT_EQ(handleRequest({"POST", "/layers/x.png?w=1&h=1", "", ""}, *context, Now).status, 405);
}

// A render that cannot read its canvas asks the client to come back; it never says the canvas
// does not exist.
TEST_P(RequestHandlerTest, RendersWhileTheStoreFailsAre503NeverA404) {
    testing::FailingStore failing(*store);
    HandlerContext failing_context{failing, backend->marks(), "http://canvas.test/"};
    failing_context.page_bytes = 1; // a stroke a read: reads fail in the middle of a render
    for (int i = 1; i <= 20; ++i) {
        append(stroke(Anna, i, 3), Canvas, Now + i);
    }
    ASSERT_TRUE(store->setImageUrl("image@20100704123456789", ImageKind::Thumbnail,
                                   "http://t.test/x.png", Now));
    const std::string strokes = std::string(Canvas) + ".png?w=64&h=96";
    const std::string image_only = "image@20100704123456789.png?w=64&h=96";
    struct Case {
        const char* what;
        std::string name;
        std::function<void()> fail;
    };
    const Case cases[] = {
        {"the size", strokes, [&] { failing.fail_sizes = true; }},
        {"a read in the middle", strokes, [&] { failing.strokes_after_left = 3; }},
        {"the row of a canvas without strokes", image_only, [&] { failing.fail_lookups = true; }},
    };
    for (const Case& c : cases) {
        for (const char* route : {"/render/", "/layers/"}) {
            RenderCache cache(64 << 20); // nothing kept from the case before
            failing_context.renders = &cache;
            c.fail();
            const Response answer =
                handleRequest({"GET", route + c.name, "", ""}, failing_context, Now);
            EXPECT_EQ(answer.status, 503) << c.what << " " << route;
            EXPECT_EQ(header(answer, "Retry-After"), "2") << c.what << " " << route;
            failing.fail_sizes = false;
            failing.fail_lookups = false;
            failing.strokes_after_left = -1;
            EXPECT_EQ(handleRequest({"GET", route + c.name, "", ""}, failing_context, Now).status,
                      200)
                << c.what << " " << route;
        }
    }
}

// What the store itself does when its database cannot answer: SQLite while the disk is full
// (every stroke row refused, so the journal cannot be copied), PostgreSQL with its server gone.
TEST_P(RequestHandlerTest, RendersOfAStoreThatCannotBeReadAre503) {
    append(stroke(Anna, 1, 3), Canvas);
    ASSERT_TRUE(store->setImageUrl("image@20100704123456789", ImageKind::Thumbnail,
                                   "http://t.test/x.png", Now));
    const std::vector<std::string> targets = {
        "/render/image@20100704123456789.png",
        "/layers/image@20100704123456789.png?w=64&h=96",
        "/render/" + std::string(Canvas) + ".png",
        "/layers/" + std::string(Canvas) + ".png?w=64&h=96",
    };
    if (GetParam() == testing::Backend::Sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TRIGGER disk_full BEFORE INSERT ON strokes BEGIN SELECT "
                               "RAISE(ABORT, 'database or disk is full'); END",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        append(stroke(Bob, 2, 3), "bob@20100704123456789"); // journaled, not copied
        // A canvas without strokes is known only from the rows, which cannot be brought up to
        // date; a canvas with strokes is read as ever.
        for (size_t i = 0; i < targets.size(); ++i) {
            const Response answer = get(targets[i]);
            EXPECT_EQ(answer.status, i < 2 ? 503 : 200) << targets[i];
        }
    } else {
        backend->cluster()->stop();
        for (const std::string& target : targets) {
            const Response answer = get(target);
            EXPECT_EQ(answer.status, 503) << target;
            EXPECT_EQ(header(answer, "Retry-After"), "2") << target;
        }
    }
}

TEST_P(RequestHandlerTest, UploadStoresAPngByContentHashAndServesIt) {
    const std::string png = *png::encodePng(canvas::Surface(64, 96, canvas::OpaqueWhite));
    const Request upload{"POST", "/upload.cgi",
                         "multipart/form-data; boundary=----BOUNDARYBOUNDARY----", gyazoBody(png)};
    const Response answer = handleRequest(upload, *context, Now);
    ASSERT_EQ(answer.status, 200) << answer.body;
    const std::string url = "http://canvas.test/images/" + sha256Hex(png) + ".png";
    EXPECT_EQ(answer.body, url);
    // Uploading the same picture again gives the same URL.
    EXPECT_EQ(handleRequest(upload, *context, Now + 1).body, url);

    const Response image = get("/images/" + sha256Hex(png) + ".png");
    EXPECT_EQ(image.status, 200);
    EXPECT_EQ(image.content_type, "image/png");
    EXPECT_EQ(header(image, "X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(image.body, png);
    EXPECT_EQ(get("/images/" + std::string(64, '0') + ".png").status, 404);
    EXPECT_EQ(get("/images/../canvas.sqlite").status, 404);
    EXPECT_EQ(get("/images/" + sha256Hex(png).substr(1) + "x.png").status, 404);
}

TEST_P(RequestHandlerTest, UploadRefusesWhatIsNotABoundedPng) {
    const std::string type = "multipart/form-data; boundary=----BOUNDARYBOUNDARY----";
    const auto status = [&](const std::string& content_type, const std::string& body) {
        return handleRequest({"POST", "/upload.cgi", content_type, body}, *context, Now).status;
    };
    EXPECT_EQ(status(type, gyazoBody("GIF89a...")), 415);
    EXPECT_EQ(status(type, gyazoBody(testing::pngWithHeader(5000, 5000))), 413);
    EXPECT_EQ(status(type, gyazoBody(std::string("\x89PNG\r\n\x1a\n", 8) +
                                     std::string(MaxUploadImage, 'x'))),
              413);
    EXPECT_EQ(status(type, gyazoBody(std::string("\x89PNG\r\n\x1a\n", 8) + "broken")), 400);
    EXPECT_EQ(status("text/plain", gyazoBody(testing::pngWithHeader(5, 5))), 400);
    EXPECT_EQ(status(type, "not a form"), 400);
    std::string no_image = gyazoBody(testing::pngWithHeader(5, 5));
    no_image.replace(no_image.find("imagedata"), 9, "something");
    EXPECT_EQ(status(type, no_image), 400);
    EXPECT_EQ(status(type, std::string(MaxUploadBody + 1, 'x')), 413);
}

TEST_P(RequestHandlerTest, OtherRoutesAndMethods) {
    EXPECT_EQ(get("/healthz").status, 200);
    EXPECT_EQ(get("/healthz").body, "ok\n");
    EXPECT_EQ(get("/nothing").status, 404);
    EXPECT_EQ(get("/upload.cgi").status, 405);
    EXPECT_EQ(handleRequest({"PUT", "/", "", "x"}, *context, Now).status, 405);
    EXPECT_EQ(handleRequest({"POST", "/healthz", "", ""}, *context, Now).status, 405);
    EXPECT_EQ(handleRequest({"DELETE", "/render/x.png", "", ""}, *context, Now).status, 405);
}

} // namespace
} // namespace velmo::server

namespace velmo::server {
namespace {

TEST(RequestHandlerRouting, OnlyWhatIsAnsweredFromMemoryIsQuick) {
    const struct {
        Request request;
        bool quick;
    } cases[] = {
        {{"POST", "/", "", wire::appendCommand(Canvas, poll(Anna))}, true},
        {{"GET", "/healthz", "", ""}, true},
        {{"GET", "/", "", ""}, false}, // the front page reads the recent canvases
        {{"POST", "/", "", "garbage"}, true},
        {{"POST", "/", "", wire::appendCommand(Canvas, stroke(Anna, 1))}, false},
        {{"POST", "/", "", wire::deleteCommand(Canvas, stroke(Anna, 1))}, false},
        {{"POST", "/", "", wire::getStrokesCommand(Canvas)}, false},
        {{"POST", "/", "", wire::searchCanvasListCommand(Canvas, "anna")}, false},
        {{"POST", "/", "", wire::updateThumbnailCommand(Canvas, "http://t/x.png")}, false},
        {{"GET", "/?v:0hSboGx", "", ""}, false},
        {{"GET", "/render/x.png", "", ""}, false},
        {{"GET", "/layers/x.png?w=1&h=1", "", ""}, false},
        {{"POST", "/upload.cgi", "", ""}, false},
        {{"GET", "/images/x.png", "", ""}, false},
        // The browser page and its files are in memory.
        {{"GET", "/draw/anna@1", "", ""}, true},
        {{"GET", "/web/velmorastra-web.0123456789abcdef.wasm", "", ""}, true},
        {{"GET", "/web/x", "", ""}, true},
        {{"GET", "/drawing", "", ""}, false},
        {{"POST", "/draw/anna@1", "", ""}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isQuick(c.request), c.quick)
            << c.request.method << " " << c.request.target << " " << c.request.body.substr(0, 60);
    }
}

TEST(RequestHandlerRouting, RendersOfEitherFileAreRenders) {
    const struct {
        Request request;
        bool render;
    } cases[] = {
        {{"GET", "/render/x.png", "", ""}, true},  {{"GET", "/layers/x.png?w=1&h=1", "", ""}, true},
        {{"GET", "/layers", "", ""}, false},       {{"POST", "/layers/x.png", "", ""}, false},
        {{"GET", "/images/x.png", "", ""}, false}, {{"GET", "/?v:0hSboGx", "", ""}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isRender(c.request), c.render) << c.request.method << " " << c.request.target;
    }
}

// A server instance on a shared PostgreSQL database: its store and its handler's context.
struct Instance {
    std::unique_ptr<PgStore> store;
    std::unique_ptr<HandlerContext> context;

    // The delete notices in the reply to `command`, which must be a 200.
    int notices(const std::string& command, int64_t now) {
        const Response response = handleRequest({"POST", "/", "", command, ""}, *context, now);
        EXPECT_EQ(response.status, 200) << response.body;
        return readReply(response.body).delete_notices;
    }
};

Instance openInstance(const testing::PgCluster& cluster) {
    std::string error;
    Instance instance;
    instance.store = PgStore::open(cluster.uri(), nullptr, &error);
    EXPECT_TRUE(instance.store) << error;
    if (instance.store) {
        instance.context = std::make_unique<HandlerContext>(
            HandlerContext{*instance.store, instance.store->deliveries(), "http://canvas.test/"});
    }
    return instance;
}

// A user's delete on one instance owes the other users a notice, which the next reply to them
// carries exactly once, whichever instance answers and whenever the deleting instance's news
// reaches the answering one: early, while the reply is made, late (after the reply) or never
// (the listener's connection broke and came back).
TEST(TwoInstances, ADeleteOwesItsNoticeOnceWhereverAndWheneverItsNewsArrives) {
    testing::PgCluster cluster;
    if (!cluster.running()) {
        GTEST_SKIP() << cluster.problem();
    }
    enum class News { Early, During, Late, Lost };
    for (int round = 0; round < 32; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Fresh instances: their memories start empty, as after a start.
        Instance first = openInstance(cluster);
        Instance second = openInstance(cluster);
        ASSERT_TRUE(first.store && second.store);
        const std::string canvas = "pair@20100704" + std::to_string(100000000 + round);
        const News news = static_cast<News>(round % 4);
        const bool anna_polled = round % 8 >= 4;
        const bool anna_appends = round % 16 < 8;
        int64_t now = Now + 1000 * round;
        const auto append = [&](Instance& on, const std::string& user, int64_t client_time) {
            return on.notices(wire::appendCommand(canvas, stroke(user, client_time)), ++now);
        };
        const auto poll = [&](Instance& on, const std::string& user) {
            ++now;
            return on.notices(wire::appendCommand(canvas, stroke(user, now, 0)), now);
        };

        EXPECT_EQ(append(first, Bob, 1), 0);
        if (anna_polled) {
            EXPECT_EQ(poll(first, Anna), 0);
        }
        EXPECT_EQ(append(first, Anna, 2), 0);
        first.store->holdNews(true);
        const Response deleted =
            handleRequest({"POST", "/", "", wire::deleteCommand(canvas, stroke(Bob, 1)), ""},
                          *second.context, ++now);
        ASSERT_EQ(deleted.status, 200) << deleted.body;
        if (news == News::Early) {
            first.store->holdNews(false);
        }
        std::thread hearing;
        if (news == News::During) {
            hearing = std::thread([&] { first.store->holdNews(false); });
        }
        const int at_once = anna_appends ? append(first, Anna, 3) : poll(first, Anna);
        if (hearing.joinable()) {
            hearing.join();
        }
        EXPECT_EQ(at_once, 1) << "the reply after the delete carries its notice";
        if (news == News::Lost) {
            first.store->loseHeldNews();
        } else {
            first.store->holdNews(false);
        }
        EXPECT_EQ(poll(first, Anna), 0) << "given once";
        EXPECT_EQ(poll(second, Anna), 0) << "given once, on either instance";
        EXPECT_EQ(append(first, Anna, 4), 0);
    }
}

} // namespace
} // namespace velmo::server
