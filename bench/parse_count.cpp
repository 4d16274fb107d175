// Parse-only driver for instruction counts: reads one file and parses it
// once, so `valgrind --tool=callgrind --toggle-collect='toml::parse*'` counts
// the parser alone, repeatably (wall-clock timing is too noisy on a shared
// machine to judge small changes). Build and run, from the repository root:
//   g++ -std=c++20 -O3 -DNDEBUG -Isrc bench/parse_count.cpp src/toml/*.cpp -o build/parse_count
//   valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect='toml::parse*'
//       build/parse_count ../shared/bench/citm_catalog.toml
// (the valgrind command is one line) and read "Collected" in its summary.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "toml/toml.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.toml\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::stringstream buf;
    buf << in.rdbuf();
    std::string text = buf.str();
    toml::ParseResult r = toml::parse(text);
    if (!r) {
        std::fprintf(stderr, "%s: %s (offset %zu)\n", argv[1], r.error().message.c_str(), r.error().offset);
        return 1;
    }
    return 0;
}
