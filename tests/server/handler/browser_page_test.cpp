#include "handler/browser_page.h"

#include "handler/sha256.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace velmo::server {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The four files of a page, small and each different, in `folder`.
struct FakeFiles {
    std::string page = "<p>{{CANVAS_ID}}</p>";
    std::string style = "body{margin:0}";
    std::string script = "export const x = 1;\n";
    std::string wasm = std::string("\0asm\x01\0\0\0", 8) + "\xff\x00 module";

    void writeTo(const std::filesystem::path& folder) const {
        writeFile(folder / "draw.html", page);
        writeFile(folder / "draw.css", style);
        writeFile(folder / "velmorastra-web.js", script);
        writeFile(folder / "velmorastra-web.wasm", wasm);
    }
};

std::string hashed(const std::string& stem, const std::string& bytes, const std::string& ext) {
    return stem + "." + sha256Hex(bytes).substr(0, 16) + "." + ext;
}

TEST(BrowserPage, LoadsTheFilesAndServesEachOnlyUnderItsHash) {
    testing::TempDir dir;
    const FakeFiles fake;
    fake.writeTo(dir.path());
    std::string problem;
    const auto page = BrowserPage::load(dir.path(), &problem);
    ASSERT_TRUE(page) << problem;

    const struct {
        const BrowserPage::File& file;
        std::string name;
        std::string_view type;
        const std::string& bytes;
    } files[] = {
        {page->style(), hashed("draw", fake.style, "css"), "text/css; charset=utf-8", fake.style},
        {page->script(), hashed("velmorastra-web", fake.script, "js"),
         "text/javascript; charset=utf-8", fake.script},
        {page->wasm(), hashed("velmorastra-web", fake.wasm, "wasm"), "application/wasm", fake.wasm},
    };
    for (const auto& f : files) {
        EXPECT_EQ(f.file.name, f.name);
        EXPECT_EQ(f.file.content_type, f.type) << f.name;
        ASSERT_TRUE(f.file.bytes);
        EXPECT_EQ(*f.file.bytes, f.bytes) << f.name;
        EXPECT_EQ(page->file(f.name), &f.file);
    }
    // Any other name is no file: an older hash, a plain name, a part or more of the name.
    const std::string wasm = page->wasm().name;
    std::string other_hash = wasm;
    other_hash[16] = other_hash[16] == '0' ? '1' : '0';
    for (const std::string& name : {std::string("velmorastra-web.wasm"), std::string("draw.html"),
                                    std::string(), other_hash, wasm + "x", wasm.substr(0, 30)}) {
        EXPECT_EQ(page->file(name), nullptr) << name;
    }
    // The same bytes give the same names, whichever way they came.
    const BrowserPage same(fake.page, fake.style, fake.script, fake.wasm);
    EXPECT_EQ(same.wasm().name, wasm);
    const BrowserPage changed(fake.page, fake.style, fake.script, fake.wasm + "!");
    EXPECT_NE(changed.wasm().name, wasm);
    EXPECT_EQ(changed.style().name, same.style().name);
}

TEST(BrowserPage, AFolderWithoutEveryFileOrWithOneTooLargeGivesNoPage) {
    const struct {
        const char* what;
        std::function<void(const std::filesystem::path&)> spoil;
        const char* named; // in the problem
    } cases[] = {
        {"no page", [](const auto& d) { std::filesystem::remove(d / "draw.html"); }, "draw.html"},
        {"no style", [](const auto& d) { std::filesystem::remove(d / "draw.css"); }, "draw.css"},
        {"no script", [](const auto& d) { std::filesystem::remove(d / "velmorastra-web.js"); },
         "velmorastra-web.js"},
        {"no module", [](const auto& d) { std::filesystem::remove(d / "velmorastra-web.wasm"); },
         "velmorastra-web.wasm"},
        {"a folder for a file",
         [](const auto& d) {
             std::filesystem::remove(d / "draw.css");
             std::filesystem::create_directory(d / "draw.css");
         },
         "not a regular file"},
        // Sparse: the size is what counts, never the bytes read.
        {"a module too large",
         [](const auto& d) {
             std::filesystem::resize_file(d / "velmorastra-web.wasm",
                                          BrowserPage::MaxFileBytes + 1);
         },
         "larger than 32 MiB"},
        {"no folder", [](const auto& d) { std::filesystem::remove_all(d); }, "no such file"},
    };
    for (const auto& c : cases) {
        testing::TempDir dir;
        const auto folder = dir.path() / "web";
        std::filesystem::create_directory(folder);
        FakeFiles().writeTo(folder);
        c.spoil(folder);
        std::string problem;
        EXPECT_FALSE(BrowserPage::load(folder, &problem)) << c.what;
        EXPECT_NE(problem.find(c.named), std::string::npos) << c.what << ": " << problem;
    }
    // At the bound exactly, the file is taken.
    testing::TempDir dir;
    FakeFiles().writeTo(dir.path());
    std::filesystem::resize_file(dir.path() / "velmorastra-web.wasm", BrowserPage::MaxFileBytes);
    std::string problem;
    const auto page = BrowserPage::load(dir.path(), &problem);
    ASSERT_TRUE(page) << problem;
    EXPECT_EQ(page->wasm().bytes->size(), BrowserPage::MaxFileBytes);
}

TEST(BrowserPage, PageReplacesEveryPlaceholderAndEscapesTheCanvasId) {
    const std::string style = "s", script = "j", wasm = "w";
    const std::string css = "/app/web/" + hashed("draw", style, "css");
    const std::string js = "/app/web/" + hashed("velmorastra-web", script, "js");
    const std::string mod = "/app/web/" + hashed("velmorastra-web", wasm, "wasm");
    const std::string id = "<b>\"x'&@20100704123456789";
    const std::string escaped = "&lt;b&gt;&quot;x&#39;&amp;@20100704123456789";
    const struct {
        std::string page;
        std::string expected;
    } cases[] = {
        {"", ""},
        {"no placeholder {{ } {{}} {CANVAS_ID}", "no placeholder {{ } {{}} {CANVAS_ID}"},
        {"<h1>{{CANVAS_ID}}</h1><i data-id=\"{{CANVAS_ID}}\">",
         "<h1>" + escaped + "</h1><i data-id=\"" + escaped + "\">"},
        {"{{STYLE_URL}}{{SCRIPT_URL}}{{WASM_URL}}", css + js + mod},
        {"{{{{WASM_URL}}}}", "{{" + mod + "}}"},
        {"{{OTHER}} {{canvas_id}} {{CANVAS_ID}", "{{OTHER}} {{canvas_id}} {{CANVAS_ID}"},
        {"end {{WASM_URL}}", "end " + mod},
        {"{{WASM_URL}} {{WASM_URL}} {", mod + " " + mod + " {"},
    };
    for (const auto& c : cases) {
        const BrowserPage page(c.page, style, script, wasm);
        EXPECT_EQ(page.page(id, "/app/"), c.expected) << c.page;
    }
    // The base path is escaped like the ID: it comes from the operator's public URL.
    const BrowserPage page("{{SCRIPT_URL}}", style, script, wasm);
    EXPECT_EQ(page.page("a", "/a\"b/"), "/a&quot;b/web/" + hashed("velmorastra-web", script, "js"));
}

TEST(BrowserPage, PublicPathIsThePathOfThePublicUrl) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://127.0.0.1:8640/", "/"},       {"https://canvas.test/app/", "/app/"},
        {"https://canvas.test/a/b/", "/a/b/"}, {"https://canvas.test", "/"},
        {"https://canvas.test/app", "/app/"},  {"http://[::1]:8640/x/", "/x/"},
    };
    for (const auto& [url, path] : cases) {
        EXPECT_EQ(publicPath(url), path) << url;
    }
}

} // namespace
} // namespace velmo::server
