// Walks whole stores (every folder; every message's properties, recipients and
// attachments; every attachment's data; embedded messages) and reports MB/s and
// messages/s, next to the time pffexport -m all -f all takes to export the same file
// into a RAM-backed folder (/dev/shm).
//   pstwalk_bench [--runs N] [FILE...]     (default: the enron PST and the OST samples)
#include "pst/messaging/walk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using namespace dravik::pst;
using Clock = std::chrono::steady_clock;

namespace {
double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else files.push_back(a);
    }
    if (files.empty()) {
        files = {std::string(DRAVIK_SAMPLES_DIR) + "/pst-extractor-enron.pst",
                 std::string(DRAVIK_SAMPLES_DIR) + "/pst-extractor-outlookcom.ost"};
    }
    const bool havePff = std::system("command -v pffexport > /dev/null 2>&1") == 0;
    std::printf("%-32s %9s %9s %9s %10s %10s %12s %12s %8s\n", "file", "MB", "messages", "attach", "walk s", "MB/s",
                "messages/s", "pffexport s", "ratio");
    for (const auto& f : files) {
        const double mb = static_cast<double>(std::filesystem::file_size(f)) / (1024.0 * 1024.0);
        std::vector<double> walk, pff;
        WalkStats stats;
        for (int r = 0; r < runs; ++r) {
            auto t0 = Clock::now();
            auto store = Store::open(f);
            stats = walkStore(*store);
            walk.push_back(seconds(Clock::now() - t0));
        }
        if (havePff) {
            const std::string out = "/dev/shm/dravik-pstwalk-" + std::to_string(::getpid());
            for (int r = 0; r < runs; ++r) {
                std::filesystem::remove_all(out + ".export");
                std::string cmd = "pffexport -q -m all -f all -t '" + out + "' '" + f + "' > /dev/null 2>&1";
                auto t0 = Clock::now();
                int rc = std::system(cmd.c_str());
                pff.push_back(seconds(Clock::now() - t0));
                if (rc != 0) std::fprintf(stderr, "pffexport exited with %d on %s\n", rc, f.c_str());
            }
            std::filesystem::remove_all(out + ".export");
        }
        const double w = median(walk);
        const double p = pff.empty() ? 0 : median(pff);
        std::printf("%-32s %9.1f %9llu %9llu %10.4f %10.1f %12.0f %12.4f %8.1f\n",
                    std::filesystem::path(f).filename().c_str(), mb, static_cast<unsigned long long>(stats.messages),
                    static_cast<unsigned long long>(stats.attachments), w, mb / w, static_cast<double>(stats.messages) / w,
                    p, p > 0 ? p / w : 0.0);
        if (stats.errors) std::printf("  (%llu objects could not be read)\n", static_cast<unsigned long long>(stats.errors));
    }
    std::printf("median of %d runs each; MB is the file size; ratio = pffexport time / walk time\n", runs);
    return 0;
}
