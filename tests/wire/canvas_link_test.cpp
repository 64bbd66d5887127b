#include "wire/canvas_link.h"

#include "wire/percent_codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmo::wire {
namespace {

TEST(CanvasLink, GivesTheCanvasIDAfterDecodingEscapes) {
    const struct {
        std::string link;
        std::optional<std::string> id;
    } cases[] = {
        {"velmorastra://anna@20100704123456789", "anna@20100704123456789"},
        {"velmorastra://public@20101201095959123", "public@20101201095959123"},
        {"velmorastra://anna%4020100704123456789", "anna@20100704123456789"},
        {"velmorastra://public%4020101201095959123", "public@20101201095959123"},
        {"velmorastra://", ""},
        // A query part stays in the ID.
        {"velmorastra://anna@20100704123456789?x=1", "anna@20100704123456789?x=1"},
        {"velmorastra://a@20101201095959123?x=1", "a@20101201095959123?x=1"},
        {"velmorastra://Zo%C3%AB@20100704123456789", "Zo\xc3\xab@20100704123456789"},
        {"velmorastra://%C3%A9t%C3%A9@20101201095959123", "\xc3\xa9t\xc3\xa9@20101201095959123"},
        // Escapes are decoded before the prefix is dropped: an escaped prefix counts too, and
        // the scheme itself is not compared.
        {"velmorastra%3A%2F%2Fanna@1", "anna@1"},
        {"abcdefghijklmnX", "X"},
        {"velmorastra:/", std::nullopt},
        {"", std::nullopt},
        // Escapes that do not decode to UTF-8.
        {"velmorastra://%FF%FE", std::nullopt},
        {"velmorastra://a%FF", std::nullopt},
        {"velmorastra://a%C3", std::nullopt},
        {"velmorastra://%ED%A0%80", std::nullopt}, // a surrogate
        // A malformed escape names no canvas, wherever it stands.
        {"velmorastra://bad%zz", std::nullopt},
        {"velmorastra://a%", std::nullopt},
        {"velmorastra://a%4", std::nullopt},
        {"velmorastra://a%zz", std::nullopt},
        {"velmorastra://a%4g", std::nullopt},
        {"velm%rastra://a", std::nullopt},
        // A prefix of other than single-byte characters is not the scheme's: cutting its
        // bytes could split a character.
        {"\xc3\xa9lmorastra://x", std::nullopt},
        {"%C3%A9lmorastra://x", std::nullopt},
        {"velmorastra:/\xc3\xa9", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canvasIDFromLink(c.link), c.id) << c.link;
    }
}

TEST(CanvasLink, AnEncodedIDComesBackUnchanged) {
    for (const std::string id : {"anna@20100704123456789", "Zo\xc3\xab@20100704123456789", "a%zz@1",
                                 "a%41@1", "a?b#c/d@1", "100%@1", ""}) {
        const std::string link = std::string(LinkPrefix) + percentEncode(id);
        EXPECT_EQ(canvasIDFromLink(link), id) << link;
    }
}

TEST(CanvasLink, RecognisesLinksAmongArguments) {
    EXPECT_TRUE(isCanvasLink("velmorastra://x"));
    EXPECT_TRUE(isCanvasLink("VelmoRastra://x"));
    EXPECT_TRUE(isCanvasLink("VELMORASTRA://x"));
    EXPECT_TRUE(isCanvasLink("velmorastra://"));
    EXPECT_TRUE(isCanvasLink("velmorastra://%zz")); // recognised here, refused when read
    EXPECT_FALSE(isCanvasLink("velmorastra:x"));
    EXPECT_FALSE(isCanvasLink("velmorastra:/"));
    EXPECT_FALSE(isCanvasLink("--server"));
    EXPECT_FALSE(isCanvasLink("http://velmorastra/"));
    EXPECT_FALSE(isCanvasLink("velmorastra%3A%2F%2Fx"));  // nothing is decoded
    EXPECT_FALSE(isCanvasLink("velmora\xc5\xbftra://x")); // no Unicode case folding
    EXPECT_FALSE(isCanvasLink(""));
}

} // namespace
} // namespace velmo::wire
