#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A listed folder: its path from the repository root and the prefix its headers are included
// with. Headers under src/ and server/ are included from there ("src/platform/qt" as
// "platform/qt/..."), others from the root ("web/glue" as "web/glue/...").
struct Layer {
    std::string folder;
    std::string include_prefix;
};

std::string includePrefix(const std::string& folder) {
    for (const std::string root : {"src/", "server/"}) {
        if (folder.compare(0, root.size(), root) == 0) {
            return folder.substr(root.size());
        }
    }
    return folder;
}

std::vector<Layer> readLayers(const fs::path& list) {
    std::vector<Layer> layers;
    std::ifstream in(list);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        layers.push_back({line, includePrefix(line)});
    }
    return layers;
}

bool isCode(const fs::path& file) {
    return file.extension() == ".h" || file.extension() == ".cpp";
}

// The layer an include names: the longest listed prefix that holds the header, or -1 for
// headers of no listed folder (the system's, the tests' support).
int layerOfInclude(const std::vector<Layer>& layers, const std::string& header) {
    int best = -1;
    size_t best_length = 0;
    for (size_t i = 0; i < layers.size(); ++i) {
        const std::string prefix = layers[i].include_prefix + "/";
        const bool direct = header.compare(0, prefix.size(), prefix) == 0 &&
                            header.find('/', prefix.size()) == std::string::npos;
        if (direct && prefix.size() > best_length) {
            best = static_cast<int>(i);
            best_length = prefix.size();
        }
    }
    return best;
}

std::vector<std::string> quotedIncludes(const fs::path& file) {
    std::vector<std::string> headers;
    std::ifstream in(file);
    std::string line;
    const std::string directive = "#include \"";
    while (std::getline(in, line)) {
        if (line.compare(0, directive.size(), directive) == 0) {
            const size_t end = line.find('"', directive.size());
            if (end != std::string::npos) {
                headers.push_back(line.substr(directive.size(), end - directive.size()));
            }
        }
    }
    return headers;
}

// Every include that goes up or sideways in the layer order, every cycle between folders, and
// every folder of code under src/ or server/ that the list does not name.
std::vector<std::string> layerProblems(const fs::path& root) {
    std::vector<std::string> problems;
    const std::vector<Layer> layers = readLayers(root / "layers.txt");
    if (layers.empty()) {
        return {"layers.txt lists no folder"};
    }
    std::set<std::string> listed;
    for (const Layer& layer : layers) {
        listed.insert(layer.folder);
    }
    std::map<int, std::set<int>> edges;
    for (size_t i = 0; i < layers.size(); ++i) {
        const fs::path folder = root / layers[i].folder;
        if (!fs::is_directory(folder)) {
            problems.push_back(layers[i].folder + " is listed but missing");
            continue;
        }
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (!entry.is_regular_file() || !isCode(entry.path())) {
                continue;
            }
            for (const std::string& header : quotedIncludes(entry.path())) {
                const int target = layerOfInclude(layers, header);
                if (target < 0 || target == static_cast<int>(i)) {
                    continue;
                }
                edges[static_cast<int>(i)].insert(target);
                if (target > static_cast<int>(i)) {
                    problems.push_back(fs::relative(entry.path(), root).string() + " includes \"" +
                                       header + "\" from a higher layer");
                }
            }
        }
    }
    // Depth-first search for a cycle among the folders.
    std::vector<int> state(layers.size(), 0);
    std::vector<int> path;
    std::function<void(int)> visit = [&](int node) {
        state[node] = 1;
        path.push_back(node);
        for (const int next : edges[node]) {
            if (state[next] == 1) {
                std::string cycle = "cycle:";
                for (const int n : path) {
                    cycle += " " + layers[n].folder;
                }
                problems.push_back(cycle + " " + layers[next].folder);
            } else if (state[next] == 0) {
                visit(next);
            }
        }
        path.pop_back();
        state[node] = 2;
    };
    for (size_t i = 0; i < layers.size(); ++i) {
        if (state[i] == 0) {
            visit(static_cast<int>(i));
        }
    }
    for (const char* top : {"src", "server"}) {
        if (!fs::is_directory(root / top)) {
            continue;
        }
        for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
            if (entry.is_regular_file() && isCode(entry.path())) {
                const std::string folder =
                    fs::relative(entry.path().parent_path(), root).generic_string();
                if (listed.insert(folder).second) {
                    problems.push_back(folder + " holds code but is not in layers.txt");
                }
            }
        }
    }
    return problems;
}

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string joined(const std::vector<std::string>& lines) {
    std::ostringstream out;
    for (const std::string& line : lines) {
        out << line << "\n";
    }
    return out.str();
}

TEST(Layers, TheTreeKeepsItsLayerOrder) {
    const std::vector<std::string> problems = layerProblems(VELMO_SOURCE_DIR);
    EXPECT_TRUE(problems.empty()) << joined(problems);
}

TEST(Layers, UpwardIncludesCyclesAndUnlistedFoldersAreFound) {
    const fs::path root =
        fs::temp_directory_path() /
        ("velmo-layers-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(root);
    write(root / "layers.txt", "# bottom first\nsrc/base\nsrc/base/qt\nsrc/top\nweb/shell\n");
    write(root / "src/base/a.h", "#include \"base/b.h\"\n#include <vector>\n");
    write(root / "src/base/b.h", "#include \"top/t.h\"\n");
    write(root / "src/base/qt/q.h", "#include \"base/a.h\"\n");
    write(root / "src/top/t.h", "#include \"base/qt/q.h\"\n#include \"base/a.h\"\n");
    write(root / "src/stray/s.cpp", "int s;\n");
    // A folder outside src/ is included by its full path, and sits above all of src/ here.
    write(root / "web/shell/w.h", "#include \"top/t.h\"\n#include \"web/shell/v.h\"\n");
    write(root / "web/shell/v.h", "#include \"base/qt/q.h\"\n");
    write(root / "src/top/u.h", "#include \"web/shell/w.h\"\n");

    const std::string found = joined(layerProblems(root));
    EXPECT_NE(found.find("src/base/b.h includes \"top/t.h\" from a higher layer"),
              std::string::npos)
        << found;
    EXPECT_NE(found.find("cycle: src/base src/top src/base"), std::string::npos) << found;
    EXPECT_NE(found.find("src/stray holds code but is not in layers.txt"), std::string::npos)
        << found;
    EXPECT_NE(found.find("src/top/u.h includes \"web/shell/w.h\" from a higher layer"),
              std::string::npos)
        << found;
    EXPECT_EQ(found.find("src/base/qt/q.h"), std::string::npos) << found;
    // The shell's own includes, of its folder and of those below, are no problem.
    EXPECT_EQ(("\n" + found).find("\nweb/shell/"), std::string::npos) << found;
    fs::remove_all(root);
}

} // namespace
