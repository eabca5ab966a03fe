// The battery RAM file read at insertion and the state-file blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "boards/discrete.h"
#include "cpu_helper.h"
#include "cpu_rig.h"
#include "glob_const.h"

namespace {

namespace fs = std::filesystem;
using test::make_cart;

// A temporary game folder: HOME and config_dir point into it for the test's
// lifetime, and everything is restored and removed afterwards.
class InsertionFiles : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pictor-cpu-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        const char* home = std::getenv("HOME");
        saved_home = home ? home : "";
        saved_config_dir = config_dir;
        saved_sep = sep;
        setenv("HOME", dir.c_str(), 1);
        config_dir = dir;
        sep = '/';
    }
    void TearDown() override {
        config_dir = saved_config_dir;
        sep = saved_sep;
        setenv("HOME", saved_home.c_str(), 1);
        fs::remove_all(dir);
    }
    FILE* open(const std::string& name, const char* mode) { return fopen((dir + "/" + name).c_str(), mode); }
    void write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
        FILE* f = open(name, "wb");
        ASSERT_NE(f, nullptr);
        if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    std::vector<uint8_t> read_file(const std::string& name) {
        std::vector<uint8_t> bytes(fs::file_size(dir + "/" + name));
        FILE* f = open(name, "rb");
        EXPECT_EQ(fread(bytes.data(), 1, bytes.size(), f), bytes.size());
        fclose(f);
        return bytes;
    }
    std::string dir, saved_home, saved_config_dir;
    char saved_sep = 0;
};

TEST_F(InsertionFiles, BatteryRamFile) {
    write_file("ram", std::vector<uint8_t>(100, 0x5A));
    std::string printed;
    auto con = test::boot(make_cart(0, 2, 1, 0x02), &printed);
    EXPECT_NE(printed.find("load RAM file: " + dir + "/ram\nRAM file exists: 1\n"), std::string::npos) << printed;
    for (int a = 0x6000; a < 0x8000; ++a) ASSERT_EQ(con->cpu->memory[a], a < 0x6064 ? 0x5A : 0) << a;

    // Not read when the caller asks not to, nor for a cartridge without battery.
    testing::internal::CaptureStdout();
    con->cpu->loadRom(con->rom.get(), false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(con->cpu->memory[0x6000], 0);
    con = test::boot(make_cart(0, 2), &printed);
    EXPECT_EQ(printed.find("load RAM file"), std::string::npos);
    EXPECT_EQ(con->cpu->memory[0x6000], 0);

    // Mapper 40 places a PRG bank over the RAM image.
    EXPECT_EQ(test::boot(make_cart(40, 4, 1, 0x02))->cpu->memory[0x6000], 48);

    // A longer file fills exactly 8 KiB; save_ram writes it back.
    std::vector<uint8_t> big(9000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    write_file("ram", big);
    con = test::boot(make_cart(0, 2, 1, 0x02));
    EXPECT_EQ(con->cpu->memory[0x7FFF], static_cast<uint8_t>(8191 * 7));
    FILE* out = open("saved", "wb");
    EXPECT_EQ(con->cpu->save_ram(out), 8192u);
    fclose(out);
    EXPECT_EQ(read_file("saved"), std::vector<uint8_t>(big.begin(), big.begin() + 8192));
}

TEST_F(InsertionFiles, BatteryRamFileAbsentOrUnreachable) {
    std::string printed;
    auto con = test::boot(make_cart(0, 2, 1, 0x02), &printed);
    EXPECT_NE(printed.find("RAM file exists: 0\n"), std::string::npos);
    EXPECT_EQ(con->cpu->memory[0x6000], 0);

    // Without a game folder nothing is looked up, not even ./ram.
    config_dir.clear();
    sep = 0;
    write_file("ram", std::vector<uint8_t>(16, 0xEE));
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    con = test::boot(make_cart(0, 2, 1, 0x02), &printed);
    fs::current_path(cwd);
    EXPECT_NE(printed.find("load RAM file: ram\nRAM file exists: 0\n"), std::string::npos) << printed;
    EXPECT_EQ(con->cpu->memory[0x6000], 0);

    // A failure other than absence reaches the caller.
    config_dir = dir + "/" + std::string(300, 'x');
    sep = '/';
    testing::internal::CaptureStdout();
    EXPECT_THROW(con->cpu->loadRom(con->rom.get(), true), NES::FileError);
    testing::internal::GetCapturedStdout();

    // Something other than a regular file: an error at once, never a wait on a FIFO.
    config_dir = dir;
    fs::remove(dir + "/ram");
    ASSERT_EQ(mkfifo((dir + "/ram").c_str(), 0600), 0);
    testing::internal::CaptureStdout();
    EXPECT_THROW(con->cpu->loadRom(con->rom.get(), true), NES::FileError);
    testing::internal::GetCapturedStdout();
}

TEST_F(InsertionFiles, StateRoundTripAndRejection) {
    test::Rig r(make_cart(2, 8));
    NES::CPU& cpu = r.cpu;
    r.console->poke(0x8000, 3);  // UxROM bank 3 (KiB 48) at $8000
    cpu.P = 0xE5, cpu.A = 1, cpu.X = 2, cpu.Y = 3, cpu.SP = 0xF0, cpu.PC = 0xC123;
    cpu.memory[0x0042] = 0x42;
    cpu.memory[0x6001] = 0x61;
    r.ppu.memory[0x2005] = 0x25;
    FILE* f = open("3", "wb");
    cpu.save_state(f);
    fclose(f);

    const std::vector<uint8_t> state = read_file("3");
    ASSERT_EQ(state.size(), 82189u);
    EXPECT_EQ(std::vector<uint8_t>(state.begin(), state.begin() + 13),
              (std::vector<uint8_t>{0xE5, 1, 2, 3, 0xF0, 0x23, 0xC1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(state[NES::state_file::CPU_MEMORY + 0x8000], 48);
    EXPECT_EQ(state[NES::state_file::PPU_MEMORY + 0x2005], 0x25);
    const size_t block = NES::state_file::MAPPER_BLOCK;
    EXPECT_EQ(state[block], 48);  // UxROM bank as 32-bit KiB index, rest zero
    for (size_t i = block + 1; i < state.size(); ++i) ASSERT_EQ(state[i], 0) << i - block;

    cpu.P = cpu.A = cpu.X = cpu.Y = 0, cpu.SP = 0xFF, cpu.PC = 0;
    cpu.memory[0x0042] = 0;
    r.ppu.memory[0x2005] = 0;
    r.console->poke(0x8000, 5);
    cpu.cycles = 1234;
    f = open("3", "rb");
    cpu.load_state(f);
    fclose(f);
    EXPECT_EQ(cpu.P, 0xE5);
    EXPECT_EQ(cpu.A + cpu.X + cpu.Y, 6);
    EXPECT_EQ(cpu.SP, 0xF0);
    EXPECT_EQ(cpu.PC, 0xC123);
    EXPECT_EQ(cpu.memory[0x0042], 0x42);
    EXPECT_EQ(cpu.memory[0x6001], 0x61);
    EXPECT_EQ(r.ppu.memory[0x2005], 0x25);
    EXPECT_EQ(cpu.uxrom_bank, 48);
    EXPECT_EQ(static_cast<NES::UxROM*>(r.console->rom->mapper.get())->bank, 48);
    EXPECT_EQ(cpu.cycles, 1234);

    // Wrong lengths and program counters outside the address space change nothing.
    auto rejected = [&](std::vector<uint8_t> bytes) {
        write_file("bad", bytes);
        cpu.A = 0x77;
        FILE* bad = open("bad", "rb");
        std::string message;
        try {
            cpu.load_state(bad);
        } catch (const std::invalid_argument& e) {
            message = e.what();
        }
        fclose(bad);
        EXPECT_EQ(cpu.A, 0x77);
        EXPECT_EQ(cpu.PC, 0xC123);
        return message;
    };
    EXPECT_NE(rejected(std::vector<uint8_t>(state.begin(), state.end() - 1)).find("82188 bytes"), std::string::npos);
    std::vector<uint8_t> longer = state;
    longer.push_back(0);
    EXPECT_NE(rejected(longer).find("longer"), std::string::npos);
    EXPECT_NE(rejected({}).find("0 bytes"), std::string::npos);
    std::vector<uint8_t> pc = state;
    pc[NES::state_file::PC + 2] = 1;  // 65536 + ...
    EXPECT_NE(rejected(pc).find("program counter"), std::string::npos);
    std::fill(pc.begin() + NES::state_file::PC, pc.begin() + NES::state_file::PC + 8, 0xFF);  // -1
    EXPECT_NE(rejected(pc).find("-1"), std::string::npos);

    // A full device: the write error carries errno.
    if (FILE* full = fopen("/dev/full", "wb")) {
        try {
            cpu.save_state(full);
            ADD_FAILURE() << "no error on a full device";
        } catch (const NES::FileError& e) {
            EXPECT_EQ(e.err, ENOSPC);
        }
        fclose(full);
    }
}

}  // namespace
