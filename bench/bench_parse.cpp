// Parse-only throughput (MB/s, median of repeated runs) of vexil's parser and
// of toml++ on the same bytes in the same run, for each file given.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "toml/toml.hpp"

long tomlpp_parse(std::string_view text);

namespace {

using Clock = std::chrono::steady_clock;

// Median seconds per call of f(), over at least `min_runs` runs and about
// `budget` seconds.
template <class F>
double median_seconds(F&& f, double budget = 0.6, int min_runs = 15) {
    for (int i = 0; i < 3; ++i) f();  // warm-up
    std::vector<double> times;
    double total = 0;
    while ((total < budget || static_cast<int>(times.size()) < min_runs) && times.size() < 100000) {
        auto t0 = Clock::now();
        f();
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        times.push_back(s);
        total += s;
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::string base_name(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE.toml...\n", argv[0]);
        return 2;
    }
    std::printf("%-20s %10s %12s %12s %8s\n", "file", "bytes", "vexil MB/s", "toml++ MB/s", "ratio");
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        if (!in || text.empty()) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        toml::ParseResult check = toml::parse(text);
        if (!check) {
            std::fprintf(stderr, "%s: vexil: %s at byte %zu\n", argv[i], check.error().message.c_str(),
                         check.error().offset);
            status = 1;
            continue;
        }
        volatile std::size_t sink = 0;
        double ours = median_seconds([&] {
            toml::ParseResult r = toml::parse(text);
            sink = sink + r.document().root().size();
        });
        double mb = static_cast<double>(text.size()) / 1e6;
        bool peer_ok = tomlpp_parse(text) >= 0;
        std::string name = base_name(argv[i]);
        if (!peer_ok) {
            std::printf("%-20s %10zu %12.1f %12s %8s\n", name.c_str(), text.size(), mb / ours, "error", "-");
            continue;
        }
        volatile long peer_sink = 0;
        double peer = median_seconds([&] { peer_sink = peer_sink + tomlpp_parse(text); });
        std::printf("%-20s %10zu %12.1f %12.1f %7.1fx\n", name.c_str(), text.size(), mb / ours, mb / peer,
                    peer / ours);
    }
    return status;
}
