// Golden output: thousands of frames of the shipped cartridges and of random
// programs, with scripted pad input, hashed and compared with hashes recorded
// from the dot-by-dot machine. A difference means the machine's output
// changed. Set PICTOR_GOLDEN_RECORD to a file path to write the hashes of
// this build there instead (only when a behaviour change is intended).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "console.h"
#include "workload.h"

namespace {

#ifdef PICTOR_SHORT_RUNS
constexpr int64_t FRAME_LIMIT = 300;  // instrumented builds check the beginning only
#else
constexpr int64_t FRAME_LIMIT = 1 << 30;
#endif
constexpr int64_t CHECKPOINT = 100;  // frames between recorded hashes

struct Program {
    std::string name;
    std::vector<uint8_t> image;
    int64_t frames;
};

std::vector<Program> programs() {
    const std::string data = PICTOR_SOURCE_DIR "/python/pictor_cli/data/";
    std::vector<Program> list = {{"demo", test::read_file(data + "demo.nes"), 3000}};
    for (const char* kind : {"nrom", "uxrom", "cnrom", "mmc1", "mmc3", "mmc4"}) {
        std::string path = data + "workload_" + kind + ".nes";
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            std::fclose(f);
            list.push_back({std::string("workload_") + kind, test::read_file(path), 3000});
        }
    }
    for (int mapper : {0, 1, 2, 3, 4, 40})
        for (uint32_t seed = 1; seed <= 3; ++seed)
            list.push_back({"stress_m" + std::to_string(mapper) + "_" + std::to_string(seed),
                            test::stress_cart(seed, mapper), 500});
    return list;
}

// name -> frame -> hash
using Table = std::map<std::string, std::map<int64_t, std::string>>;

Table load_table(const std::string& path) {
    Table t;
    std::ifstream in(path);
    std::string name, hash;
    int64_t frame;
    while (in >> name >> frame >> hash) t[name][frame] = hash;
    return t;
}

std::string hex(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// Runs a program and returns its hash chain at every checkpoint.
std::map<int64_t, std::string> run(const Program& p) {
    auto con = test::boot(p.image);
    NES::Controller pad;
    con->cpu->set_controller(&pad, 0);
    test::Hash h;
    std::map<int64_t, std::string> out;
    const int64_t frames = std::min(p.frames, FRAME_LIMIT);
    for (int64_t f = 1; f <= frames; ++f) {
        test::press(pad, test::scripted_buttons(f));
        con->run_frame();
        test::hash_frame(h, *con);
        if (f % CHECKPOINT == 0) {
            test::hash_memories(h, *con);
            out[f] = hex(h.value());
        }
    }
    return out;
}

TEST(Golden, OutputMatchesRecordedHashes) {
    const char* record = std::getenv("PICTOR_GOLDEN_RECORD");
    const Table expected = load_table(PICTOR_SOURCE_DIR "/tests/golden/hashes.txt");
    std::ostringstream recorded;
    for (const Program& p : programs()) {
        const auto got = run(p);
        if (record) {
            for (auto [frame, hash] : got) recorded << p.name << ' ' << frame << ' ' << hash << '\n';
            continue;
        }
        auto it = expected.find(p.name);
        ASSERT_NE(it, expected.end()) << p.name << " has no recorded hashes";
        for (auto [frame, hash] : got) {
            auto e = it->second.find(frame);
            ASSERT_NE(e, it->second.end()) << p.name << " frame " << frame << " not recorded";
            // The first difference is the one worth looking at.
            ASSERT_EQ(hash, e->second) << p.name << " differs by frame " << frame;
        }
    }
    if (record) std::ofstream(record) << recorded.str();
}

}  // namespace
