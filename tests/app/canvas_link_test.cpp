#include "app/canvas_link.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using velmo::app::canvasIDFromLink;
using velmo::app::isCanvasLink;

TEST(CanvasLink, GivesTheCanvasIDAfterDecodingEscapes) {
    const struct {
        std::string link;
        std::optional<std::string> id;
    } cases[] = {
        {"velmorastra://anna@20100704123456789", "anna@20100704123456789"},
        {"velmorastra://anna%4020100704123456789", "anna@20100704123456789"},
        {"velmorastra://", ""},
        {"velmorastra://anna@20100704123456789?x=1", "anna@20100704123456789?x=1"},
        {"velmorastra://Zo%C3%AB@20100704123456789", "Zo\xc3\xab@20100704123456789"},
        // Escapes are decoded before the prefix is dropped: an escaped prefix counts too.
        {"velmorastra%3A%2F%2Fanna@1", "anna@1"},
        {"velmorastra:/", std::nullopt},
        {"", std::nullopt},
        {"velmorastra://%FF%FE", std::nullopt},
        {"velmorastra://bad%zz", "bad%zz"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canvasIDFromLink(c.link), c.id) << c.link;
    }
}

TEST(CanvasLink, RecognisesLinksAmongArguments) {
    EXPECT_TRUE(isCanvasLink("velmorastra://x"));
    EXPECT_TRUE(isCanvasLink("VelmoRastra://x"));
    EXPECT_TRUE(isCanvasLink("velmorastra://"));
    EXPECT_FALSE(isCanvasLink("velmorastra:x"));
    EXPECT_FALSE(isCanvasLink("--server"));
    EXPECT_FALSE(isCanvasLink("http://velmorastra/"));
}
