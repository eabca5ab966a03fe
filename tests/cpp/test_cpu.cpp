// The processor: opcode and cycle tables, addressing modes, operations,
// stack, interrupts, reset, the trace line, and the CPU memory map (mirrors,
// PPU register side effects, OAM DMA, the pad ports).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "controller.h"
#include "cpu.h"
#include "cpu_helper.h"
#include "cpu_rig.h"

namespace {

using test::IRQ_HANDLER;
using test::NMI_HANDLER;
using test::Rig;

TEST(CpuTables, Construction) {
    auto cpu = std::make_unique<NES::CPU>();
    EXPECT_EQ(cpu->SP, 0x00);  // the reset sequence takes it to $FD
    EXPECT_EQ(cpu->P, 0x24);
    EXPECT_EQ(cpu->A | cpu->X | cpu->Y | cpu->cycles, 0);
    EXPECT_TRUE(std::all_of(cpu->memory, cpu->memory + 0x10000, [](uint8_t b) { return b == 0; }));
}

// Every opcode as the processor's documentation gives it: length in bytes
// (0: control transfer, not stepped over) and CPU cycles ('-': branches,
// timed below), then the opcodes that pay a cycle when indexing crosses a page.
constexpr const char* GRID_ROWS[16] = {
    "07 26 00 28 23 23 25 25 13 22 12 22 34 34 36 36", "0- 25 00 28 24 24 26 26 12 34 12 37 34 34 37 37",
    "06 26 00 28 23 23 25 25 14 22 12 22 34 34 36 36", "0- 25 00 28 24 24 26 26 12 34 12 37 34 34 37 37",
    "06 26 00 28 23 23 25 25 13 22 12 22 03 34 36 36", "0- 25 00 28 24 24 26 26 12 34 12 37 34 34 37 37",
    "06 26 00 28 23 23 25 25 14 22 12 22 05 34 36 36", "0- 25 00 28 24 24 26 26 12 34 12 37 34 34 37 37",
    "22 26 22 26 23 23 23 23 12 22 12 22 34 34 34 34", "0- 26 00 26 24 24 24 24 12 35 12 35 35 35 35 35",
    "22 26 22 26 23 23 23 23 12 22 12 22 34 34 34 34", "0- 25 00 25 24 24 24 24 12 34 12 34 34 34 34 34",
    "22 26 22 28 23 23 25 25 12 22 12 22 34 34 36 36", "0- 25 00 28 24 24 26 26 12 34 12 37 34 34 37 37",
    "22 26 22 28 23 23 25 25 12 22 12 22 34 34 36 36", "0- 25 00 28 24 24 26 26 12 34 12 37 34 34 37 37",
};
bool pays_page_cross(int op) {
    const int column = op & 0x0F;
    if (op >= 0x90 && op < 0xA0) return false;  // stores
    if ((op >> 4) % 2 == 1 && (column == 0x1 || column == 0x9 || column == 0xD)) return true;
    return (op & 0x1F) == 0x1C || op == 0xB3 || op == 0xBB || op == 0xBC || op == 0xBE || op == 0xBF;
}

TEST(CpuOpcodeGrid, LengthsAndCycles) {
    for (int op = 0; op < 256; ++op) {
        const char length = GRID_ROWS[op >> 4][3 * (op & 15)], cycles = GRID_ROWS[op >> 4][3 * (op & 15) + 1];
        if (cycles == '-') continue;
        // Indexing by 1 stays on the page, by $FF crosses it.
        for (uint8_t index : {0x01, 0xFF}) {
            Rig r;
            r.cpu.memory[0x20] = 0x80;  // (zp),Y: base $0380
            r.cpu.memory[0x21] = 0x03;
            r.cpu.X = r.cpu.Y = index;
            const bool crossing = index == 0xFF && pays_page_cross(op);
            EXPECT_EQ(r.cost({static_cast<uint8_t>(op), 0x20, 0x03}), cycles - '0' + crossing) << std::hex << op;
            if (length != '0') {
                EXPECT_EQ(r.cpu.PC, 0x200 + length - '0') << std::hex << op;
            }
        }
    }
}

// The addressing mode of an opcode of the ALU and combined columns, by the
// processor's decoding; rows $8x-$Bx index STX, LDX, SAX, LAX and SHX with Y.
enum Mode { ZP, ZPX, ZPY, ABS, ABX, ABY, IZX, IZY, IMM };
Mode documented_mode(uint8_t op) {
    constexpr Mode BY_COLUMN[8] = {IZX, ZP, IMM, ABS, IZY, ZPX, ABY, ABX};
    const Mode mode = BY_COLUMN[(op >> 2) & 7];
    if ((op & 0xC2) != 0x82) return mode;
    return mode == ZPX ? ZPY : mode == ABX ? ABY : mode;
}

TEST(CpuOpcodeGrid, UndocumentedOperationsInEveryMode) {
    struct Case {
        std::vector<uint8_t> opcodes;
        uint8_t a, x, p, m, a_out, x_out, p_out, m_out;
    };
    const std::vector<uint8_t> NOPS = {0x04, 0x44, 0x64, 0x0C, 0x14, 0x34, 0x54, 0x74, 0xD4, 0xF4, 0x1C,
                                       0x3C, 0x5C, 0x7C, 0xDC, 0xFC, 0x80, 0x82, 0x89, 0xC2, 0xE2};
    const Case cases[] = {
        {{0x07, 0x17, 0x0F, 0x1F, 0x1B, 0x03, 0x13}, 0x10, 1, 0x24, 0x81, 0x12, 1, 0x25, 0x02},  // SLO
        {{0x27, 0x37, 0x2F, 0x3F, 0x3B, 0x23, 0x33}, 0x03, 1, 0x25, 0x81, 0x03, 1, 0x25, 0x03},  // RLA
        {{0x47, 0x57, 0x4F, 0x5F, 0x5B, 0x43, 0x53}, 0x10, 1, 0x24, 0x81, 0x50, 1, 0x25, 0x40},  // SRE
        {{0x67, 0x77, 0x6F, 0x7F, 0x7B, 0x63, 0x73}, 0x10, 1, 0x25, 0x81, 0xD1, 1, 0xA4, 0xC0},  // RRA
        {{0x67, 0x7F}, 0x50, 1, 0x24, 0xA0, 0xA0, 1, 0xE4, 0x50},                                // RRA overflow
        {{0xC7, 0xD7, 0xCF, 0xDF, 0xDB, 0xC3, 0xD3}, 0x0F, 1, 0x24, 0x10, 0x0F, 1, 0x27, 0x0F},  // DCP
        {{0xE7, 0xF7, 0xEF, 0xFF, 0xFB, 0xE3, 0xF3}, 0x20, 1, 0x25, 0x0F, 0x10, 1, 0x25, 0x10},  // ISC
        {{0xE7, 0xFB}, 0x00, 1, 0x25, 0x00, 0xFF, 1, 0xA4, 0x01},                                // ISC borrow
        {{0x87, 0x97, 0x8F, 0x83}, 0xF3, 0x1E, 0x24, 0x00, 0xF3, 0x1E, 0x24, 0x12},              // SAX
        {{0xA7, 0xB7, 0xAF, 0xBF, 0xA3, 0xB3}, 0x00, 0x05, 0x24, 0x80, 0x80, 0x80, 0xA4, 0x80},  // LAX
        {{0x9E, 0x9F}, 0xF3, 0x1D, 0x24, 0x00, 0xF3, 0x1D, 0x24, 0x01},  // SHX, SHA: AND high byte + 1
        {{0x0B, 0x2B}, 0xF0, 1, 0x24, 0x81, 0x80, 1, 0xA5, 0x81},        // ANC
        {{0x0B}, 0xF0, 1, 0x25, 0x01, 0x00, 1, 0x26, 0x01},              // ANC: C from bit 7
        {{0x4B}, 0xFF, 1, 0x24, 0x03, 0x01, 1, 0x25, 0x03},              // ALR
        {{0x6B}, 0xFF, 1, 0x25, 0xFF, 0xFF, 1, 0xA5, 0xFF},              // ARR: C in, C = bit 6
        {{0x6B}, 0xFF, 1, 0x24, 0x80, 0x40, 1, 0x65, 0x80},              // V = bit 6 ^ bit 5
        {{0x6B}, 0xFF, 1, 0x24, 0x60, 0x30, 1, 0x64, 0x60},
        {{0x6B}, 0xFF, 1, 0x65, 0x20, 0x90, 1, 0xA4, 0x20},
        {{0xCB}, 0xF0, 0x3C, 0x24, 0x02, 0xF0, 0x2E, 0x25, 0x02},  // SBX: (A AND X) - operand, no borrow in
        {{0xCB}, 0xF0, 0x3C, 0x25, 0x31, 0xF0, 0xFF, 0xA4, 0x31},
        {{0xEB}, 0x05, 1, 0x24, 0x03, 0x01, 1, 0x25, 0x03},        // SBC
        {{0xAB}, 0x00, 0x00, 0x24, 0x5A, 0x5A, 0x5A, 0x24, 0x5A},  // LXA
        {{0x8B}, 0x00, 0x1E, 0x24, 0xF3, 0x12, 0x1E, 0x24, 0xF3},  // ANE
        {NOPS, 0x55, 1, 0xE7, 0x7F, 0x55, 1, 0xE7, 0x7F},
    };
    for (const Case& c : cases) {
        for (uint8_t op : c.opcodes) {
            // Operand bytes that put the operand at $0020 with Y = 1: the
            // (zp,X) pointer is at $30 + X, the (zp),Y pointer at $60.
            const uint8_t zx = static_cast<uint8_t>(0x20 - c.x);
            const std::vector<uint8_t> operands[] = {{0x20},    {zx},   {0x1F}, {0x20, 0x00}, {zx, 0x00},
                                                     {0x1F, 0}, {0x30}, {0x60}, {c.m}};
            std::vector<uint8_t> code = operands[documented_mode(op)];
            code.insert(code.begin(), op);
            Rig r;
            r.cpu.memory[0x20] = c.m;
            r.cpu.memory[0x30 + c.x] = 0x20;
            r.cpu.memory[0x60] = 0x1F;
            r.cpu.A = c.a, r.cpu.X = c.x, r.cpu.Y = 1, r.cpu.P = c.p;
            r.program(0x200, code);
            r.run(1);
            const uint8_t m_out = documented_mode(op) == IMM ? c.m : c.m_out;
            EXPECT_EQ(std::vector<int>({r.cpu.A, r.cpu.X, r.cpu.P, r.cpu.memory[0x20]}),
                      std::vector<int>({c.a_out, c.x_out, c.p_out, m_out}))
                << std::hex << int(op);
        }
    }
    // Crossing a page, the unstable stores' byte replaces the address's high
    // byte: SHY $02FF,X with X = 1 and Y = $F1 stores $F1 AND $03 at $0100.
    for (uint8_t op : {0x9C, 0x9E}) {
        Rig r;
        r.cpu.X = r.cpu.Y = 1;
        (op == 0x9C ? r.cpu.Y : r.cpu.X) = 0xF1;
        r.program(0x300, {op, 0xFF, 0x02});
        r.run(1);
        EXPECT_EQ(r.cpu.memory[0x100] << 8 | r.cpu.memory[0x300], 0x100 | op);  // not at $0300
    }
}

TEST(CpuAddressing, WrapArounds) {
    Rig r;
    auto lda = [&](std::vector<uint8_t> code) {
        r.program(0x200, code);
        r.run(1);
        return r.cpu.A;
    };
    r.cpu.memory[0x00] = 0x05;
    r.cpu.memory[0xFF] = 0x34;
    r.cpu.memory[0x534] = 0x99;
    r.cpu.X = 1;
    EXPECT_EQ(lda({0xB5, 0xFF}), 0x05);  // LDA $FF,X reads $00
    r.cpu.X = 0x3B;
    EXPECT_EQ(lda({0xBD, 0xC5, 0xFF}), 0x05);  // LDA $FFC5,X wraps to $0000
    r.cpu.X = 0;
    r.cpu.Y = 0;
    EXPECT_EQ(lda({0xB1, 0xFF}), 0x99);  // LDA ($FF),Y: pointer from $FF and $00
    EXPECT_EQ(lda({0xA1, 0xFF}), 0x99);  // LDA ($FF,X)

    // JMP ($10FF): low byte from $10FF, high byte from $1000, not $1100 (RAM
    // mirrors of $00FF, $0000 and $0100).
    r.cpu.memory[0x100] = 0x07;
    r.program(0x200, {0x6C, 0xFF, 0x10});
    r.run(1);
    EXPECT_EQ(r.cpu.PC, 0x0534);
}

TEST(CpuTiming, PageCrossingsAndBranches) {
    Rig r;
    r.cpu.X = 1;
    EXPECT_EQ(r.cost({0xBD, 0xFF, 0x12}), 5);  // LDA $12FF,X
    EXPECT_EQ(r.cost({0xBD, 0x00, 0x12}), 4);
    EXPECT_EQ(r.cost({0x9D, 0xFF, 0x12}), 5);  // STA: same either way
    EXPECT_EQ(r.cost({0x9D, 0x00, 0x12}), 5);
    EXPECT_EQ(r.cost({0x1E, 0xFF, 0x12}), 7);  // ASL absx
    r.cpu.memory[0x20] = 0xF0;
    r.cpu.memory[0x21] = 0x03;
    r.cpu.Y = 0x10;
    EXPECT_EQ(r.cost({0xB1, 0x20}), 6);  // LDA ($20),Y: $F0 + $10 carries
    r.cpu.Y = 0x0F;
    EXPECT_EQ(r.cost({0xB1, 0x20}), 5);

    r.cpu.P = 0x26;  // Z set: BNE falls through
    EXPECT_EQ(r.cost({0xD0, 0x10}), 2);
    EXPECT_EQ(r.cpu.PC, 0x202);
    r.cpu.P = 0x24;
    EXPECT_EQ(r.cost({0xD0, 0x10}), 3);
    EXPECT_EQ(r.cpu.PC, 0x212);
    EXPECT_EQ(r.cost({0xD0, 0xFB}), 4);  // back into page 1
    EXPECT_EQ(r.cpu.PC, 0x1FD);
}

TEST(CpuOperations, ArithmeticFlags) {
    struct Case {
        std::vector<uint8_t> code;
        uint8_t a, p, a_out, p_out;
    };
    const Case cases[] = {
        {{0x69, 0x01}, 0x7F, 0x24, 0x80, 0xE4},  // ADC: overflow into N
        {{0x69, 0x01}, 0xFF, 0x24, 0x00, 0x27},  // carry out, zero
        {{0x69, 0x01}, 0x09, 0x2C, 0x0A, 0x2C},  // D set: still binary
        {{0x69, 0x80}, 0x80, 0x25, 0x01, 0x65},  // carry in, overflow, carry out
        {{0xE9, 0x01}, 0x00, 0x25, 0xFF, 0xA4},  // SBC: borrow
        {{0xE9, 0x01}, 0x80, 0x25, 0x7F, 0x65},  // overflow, no borrow
        {{0xE9, 0x03}, 0x05, 0x24, 0x01, 0x25},  // borrow in
        {{0xE9, 0x00}, 0xFF, 0x25, 0xFF, 0xA5},  // difference $FF: no borrow
        {{0xC9, 0x10}, 0x10, 0x24, 0x10, 0x27},  // CMP equal
        {{0xC9, 0x20}, 0x10, 0x24, 0x10, 0xA4},  // CMP below
        {{0xC9, 0x10}, 0xF0, 0x24, 0xF0, 0xA5},  // CMP above, N from the difference
        {{0x24, 0x10}, 0x3F, 0x24, 0x3F, 0xE6},  // BIT $10 ($C0)
        {{0x6A}, 0x01, 0x25, 0x80, 0xA5},        // ROR A
        {{0x4A}, 0xFF, 0xA4, 0x7F, 0x25},        // LSR A clears N
        {{0x2A}, 0x80, 0x24, 0x00, 0x27},        // ROL A
        {{0x0A}, 0x81, 0x24, 0x02, 0x25},        // ASL A
    };
    Rig r;
    for (const Case& c : cases) {
        r.cpu.memory[0x10] = 0xC0;
        r.cpu.A = c.a;
        r.cpu.P = c.p;
        r.program(0x200, c.code);
        r.run(1);
        EXPECT_EQ(r.cpu.A, c.a_out) << int(c.code[0]) << " " << int(c.a);
        EXPECT_EQ(r.cpu.P, c.p_out) << int(c.code[0]) << " " << int(c.a);
    }
    r.cpu.memory[0x10] = 0x81;
    r.program(0x200, {0x06, 0x10, 0xC6, 0x11});  // ASL $10; DEC $11
    r.run(2);
    EXPECT_EQ(r.cpu.memory[0x10], 0x02);
    EXPECT_EQ(r.cpu.memory[0x11], 0xFF);
    EXPECT_EQ(r.cpu.P, 0xA5);
}

TEST(CpuOperations, StackFlagsAndControlTransfer) {
    Rig r;
    NES::CPU& cpu = r.cpu;
    EXPECT_EQ(cpu.get_flag('Q'), 0);
    cpu.set_flag('Q', true);
    cpu.set_flag('D', true);
    EXPECT_EQ(cpu.P, 0x2C);
    cpu.SP = 0x00;
    cpu.stack_push(0x12);
    EXPECT_EQ(cpu.memory[0x100], 0x12);
    EXPECT_EQ(cpu.SP, 0xFF);
    EXPECT_EQ(cpu.stack_pull(), 0x12);
    EXPECT_EQ(cpu.SP, 0x00);

    cpu.SP = 0xFF;
    cpu.P = 0x00;
    r.program(0x200, {0x08, 0xA9, 0xFF, 0x48, 0x28});  // PHP; LDA #$FF; PHA; PLP
    r.run(4);
    EXPECT_EQ(cpu.memory[0x1FF], 0x30);  // pushed with B and bit 5
    EXPECT_EQ(cpu.P, 0xFF);              // all eight bits pulled

    cpu.P = 0x24;
    cpu.SP = 0xFF;
    r.program(0x280, {0x20, 0x50, 0x02});  // JSR $0250
    cpu.memory[0x250] = 0x60;              // RTS
    r.run(1);
    EXPECT_EQ(cpu.PC, 0x250);
    EXPECT_EQ(cpu.memory[0x1FF] << 8 | cpu.memory[0x1FE], 0x0282);  // the JSR's last byte
    r.run(1);
    EXPECT_EQ(cpu.PC, 0x283);

    cpu.memory[IRQ_HANDLER] = 0x40;  // RTI
    cpu.P = 0x20;
    EXPECT_EQ(r.cost({0x00}), 7);  // BRK: pushes B and bit 5, then sets I
    EXPECT_EQ(cpu.PC, IRQ_HANDLER);
    EXPECT_EQ(cpu.P, 0x34);
    EXPECT_EQ(std::vector<uint8_t>(cpu.memory + 0x1FD, cpu.memory + 0x200), (std::vector<uint8_t>{0x30, 0x02, 0x02}));
    r.run(1);
    EXPECT_EQ(cpu.PC, 0x202);
    EXPECT_EQ(cpu.P, 0x30);

    cpu.memory[0xFFFF] = 0xE8;  // INX at the top of the address space
    cpu.PC = 0xFFFF;
    r.run(1);
    EXPECT_EQ(cpu.PC, 0);
}

TEST(CpuOperations, HaltOpcodesStopUntilReset) {
    for (uint8_t op : {0x02, 0x12, 0x22, 0x32, 0x42, 0x52, 0x62, 0x72, 0x92, 0xB2, 0xD2, 0xF2}) {
        Rig r;
        r.program(0x200, {op, 0x41});
        r.cpu.memory[0x2000] = 0x80;
        r.ppu.nmi_occurred = true;
        r.cpu.irq_pending = true;
        r.cpu.P = 0x20;
        r.run(50);
        // Nothing more executes and no interrupt is taken, but the clock runs on.
        EXPECT_EQ(r.cpu.PC, 0x200) << int(op);
        EXPECT_EQ(r.cpu.memory[0x201], 0x41) << int(op);
        EXPECT_EQ(r.cpu.cycles, 49) << int(op);
        EXPECT_TRUE(r.cpu.jammed);
        r.cpu.reset();
        EXPECT_FALSE(r.cpu.jammed);
        EXPECT_EQ(r.cpu.PC, test::RESET_HANDLER);
    }
}

TEST(CpuInterrupts, NmiEdgeAndDelay) {
    Rig r;
    std::fill(r.cpu.memory + 0x200, r.cpu.memory + 0x400, 0xEA);
    r.cpu.memory[0x2000] = 0x80;
    r.cpu.PC = 0x200;
    r.ppu.nmi_occurred = true;
    r.run(1);
    EXPECT_EQ(r.cpu.PC, 0x201);  // this instruction only samples the flag
    r.run(1);
    EXPECT_EQ(r.cpu.PC, NMI_HANDLER);
    EXPECT_EQ(r.cpu.cycles, 4);  // entry costs nothing
    EXPECT_EQ(std::vector<uint8_t>(r.cpu.memory + 0x1FB, r.cpu.memory + 0x1FE),
              (std::vector<uint8_t>{0x24, 0x02, 0x02}));
    EXPECT_EQ(r.cpu.P, 0x24);
    r.run(10);  // held high: one NMI only
    EXPECT_EQ(r.cpu.PC, NMI_HANDLER + 10);
    r.ppu.nmi_occurred = false;
    r.run(2);
    r.ppu.nmi_occurred = true;
    r.run(1);
    EXPECT_EQ(r.cpu.PC, NMI_HANDLER + 13);
    r.run(1);
    EXPECT_EQ(r.cpu.PC, NMI_HANDLER);

    // Enabling NMIs while the flag is up: taken after the instruction that
    // follows the write.
    Rig w;
    w.program(0x200, {0xA9, 0x80, 0x8D, 0x00, 0x20, 0xEA});  // LDA #$80; STA $2000; NOP
    w.ppu.nmi_occurred = true;
    w.run(2);
    EXPECT_EQ(w.cpu.PC, 0x205);
    w.run(1);
    EXPECT_EQ(w.cpu.PC, NMI_HANDLER);
    EXPECT_EQ(w.cpu.memory[0x1FC], 0x06);
}

TEST(CpuInterrupts, HardwareNmiLineAgainstStatusReadsAndBrk) {
    // The PPU starts at dot `start` of line 240, so that CPU cycle n ends
    // with its next dot at start + 3(n + 1). The VBlank flag set at dot 1 of
    // line 241 reaches the NMI edge detector from next dot 4 on.
    auto rig_at = [](int start, const std::vector<uint8_t>& code) {
        auto r = std::make_unique<Rig>(test::Cart{}, NES::Accuracy::hardware);
        r->program(test::RESET_HANDLER, code);
        r->cpu.memory[test::IRQ_HANDLER] = 0xEA;  // NOP
        r->cpu.memory[0x2000] = 0x80;
        r->ppu.scanline = 240;
        r->ppu.dot = start;
        return r;
    };
    // BIT $2002 reads on its fourth cycle, at next dot 1-4 of line 241: clear
    // and suppressed, set with the NMI cancelled (twice), set with the NMI.
    for (const int dot : {1, 2, 3, 4}) {
        auto r = rig_at(332 + dot, {0x2C, 0x02, 0x20, 0xEA, 0xEA});
        r->run(1);
        EXPECT_EQ((r->cpu.P & 0x80) != 0, dot > 1) << dot;
        bool nmi = r->cpu.PC == NMI_HANDLER;
        for (int i = 0; i < 2 && !nmi; ++i) {
            r->run(1);
            nmi = r->cpu.PC == NMI_HANDLER;
        }
        EXPECT_EQ(nmi, dot == 4) << dot;
    }
    // A BRK whose fourth cycle (the low PC byte's push) ends with the edge
    // seen takes the NMI vector with B set on the stack; seen one cycle
    // later, the BRK's vector, and the NMI after the handler's first instruction.
    for (const int start : {333, 330}) {
        auto r = rig_at(start, {0x00, 0x00});
        r->run(1);
        const bool hijacked = start == 333;
        EXPECT_EQ(r->cpu.PC, hijacked ? NMI_HANDLER : IRQ_HANDLER) << start;
        EXPECT_EQ(r->cpu.memory[0x100 + static_cast<uint8_t>(r->cpu.SP + 1)] & 0x10, 0x10) << start;
        if (!hijacked) {
            r->run(1);
            EXPECT_EQ(r->cpu.PC, NMI_HANDLER);
        }
    }
}

TEST(CpuInterrupts, IrqMaskingAndPriority) {
    Rig r;
    r.program(0x200, {0xEA, 0x58});  // NOP; CLI
    r.cpu.irq_pending = true;
    r.run(1);
    EXPECT_EQ(r.cpu.PC, 0x201);
    EXPECT_TRUE(r.cpu.irq_pending);
    r.run(1);  // taken at the end of CLI
    EXPECT_EQ(r.cpu.PC, IRQ_HANDLER);
    EXPECT_FALSE(r.cpu.irq_pending);
    EXPECT_EQ(std::vector<uint8_t>(r.cpu.memory + 0x1FB, r.cpu.memory + 0x1FE),
              (std::vector<uint8_t>{0x20, 0x02, 0x02}));
    EXPECT_EQ(r.cpu.P, 0x24);
    EXPECT_EQ(r.cpu.cycles, 4);

    // NMI and IRQ at once: the NMI wins and sets I, so the IRQ waits.
    Rig both;
    both.program(0x200, {0xEA});
    both.cpu.memory[NMI_HANDLER] = 0xEA;
    both.cpu.P = 0x20;
    both.cpu.irq_pending = true;
    both.cpu.memory[0x2000] = 0x80;
    both.cpu.nmi_sample = true;
    both.run(1);
    EXPECT_EQ(both.cpu.PC, NMI_HANDLER);
    both.run(1);
    EXPECT_EQ(both.cpu.PC, NMI_HANDLER + 1);
    EXPECT_TRUE(both.cpu.irq_pending);
}

TEST(CpuBare, RunsWithoutPpuApuOrCartridge) {
    // A processor test may build the CPU alone: register addresses then act as
    // plain memory and nothing reaches for the missing units.
    NES::CPU cpu;
    const uint8_t program[] = {
        0xA9, 0x5A, 0x8D, 0x00, 0x20,  // LDA #$5A; STA $2000
        0x8D, 0x15, 0x40,              // STA $4015
        0x8D, 0x17, 0x40,              // STA $4017 (the frame sequencer, not a pad port, when written)
        0x8D, 0x14, 0x40,              // STA $4014 (no DMA without a PPU)
        0xAD, 0x02, 0x20,              // LDA $2002
        0xAD, 0x15, 0x40,              // LDA $4015
        0xAD, 0x16, 0x40,              // LDA $4016 (the pad port needs no unit)
    };
    std::copy(std::begin(program), std::end(program), cpu.memory + 0x0600);
    cpu.PC = 0x0600;
    for (int i = 0; i < 8; ++i) cpu.clock();
    EXPECT_EQ(cpu.PC, 0x0600 + static_cast<int>(sizeof program));
    EXPECT_EQ(cpu.memory[0x2000], 0x5A);
    EXPECT_EQ(cpu.memory[0x4015], 0x5A);
    EXPECT_EQ(cpu.A, 0x40);  // pad port: bit 6 set, no pad latched
    EXPECT_EQ(cpu.memory[0x4017], 0x5A);
    EXPECT_EQ(cpu.cycles, 2 + 7 * 4);
}

TEST(CpuOutput, ResetLinesAndTrace) {
    test::Cart cart;
    cart.prg_16k = 1;
    cart.set_reset_vector(0xC000);
    cart.poke(0xC000, {0xA9, 0x10, 0xE8});  // LDA #$10; INX
    std::string printed;
    auto con = test::boot(cart, &printed);
    NES::CPU& cpu = *con->cpu;
    const std::string lines = printed.substr(printed.find("Before:"));
    EXPECT_EQ(lines.substr(0, lines.find("reset loc: 0x")), "Before: fffc\n");
    EXPECT_NE(lines.find("\nAfter: bffc\n00 c0\nc000\n"), std::string::npos) << lines;

    cpu.debug = true;
    testing::internal::CaptureStdout();
    cpu.clock();
    cpu.stack_push(0x11);
    cpu.stack_push(0x22);
    cpu.clock();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cycles: 2, 0xa9: LDA, imm $0010->8001=10, PC=$c000 - A=00 - X=00 - Y=00 - P=24 SP: fd [00,00]\n"
              "Cycles: 4, 0xe8: INX, impl $0000->8003=00, PC=$c002 - A=10 - X=00 - Y=00 - P=24 SP: fb [00,00,11,22]\n");

    char buf[256];
    cpu.ins_str(buf, 0xA9);
    EXPECT_STREQ(buf, "0xa9: LDA, imm, PC=$c003 - A=16 - X=1 - Y=0");
    cpu.ins_str(buf, 0x03);
    EXPECT_STREQ(buf, "0x03: SLO, xind, PC=$c003 - A=16 - X=1 - Y=0");
    EXPECT_EQ(cpu.emulated_clock_speed(0), 0);
    cpu.cycles = 1789773;
    EXPECT_EQ(cpu.emulated_clock_speed(500000000), 3579546);
}

TEST(MemoryMap, MirrorsAndStorage) {
    Rig r;
    auto& con = *r.console;
    con.poke(0x0001, 0x11);
    con.poke(0x1FFF, 0x22);
    con.poke(0x3FF9, 0x06);  // PPUMASK mirror
    con.poke(0x4000, 0x3F);
    EXPECT_EQ(con.peek(0x0801), 0x11);
    EXPECT_EQ(r.cpu.memory[0x07FF], 0x22);
    EXPECT_EQ(r.cpu.memory[0x1FFF] | r.cpu.memory[0x3FF9], 0);
    EXPECT_EQ(con.peek(0x2001), 0x06);
    EXPECT_EQ(con.peek(0x4000), 0x3F);
    EXPECT_EQ(con.peek(0x5000), 0x00);

    r.cpu.memory[0x2002] = 0x80;
    con.poke(0x2002, 0x00);
    EXPECT_EQ(r.cpu.memory[0x2002], 0x80);
    const uint8_t rom_byte = r.cpu.memory[0x8000];
    con.poke(0x8000, 0x99);
    EXPECT_EQ(r.cpu.memory[0x8000], rom_byte);

    r.cpu.debug = true;
    testing::internal::CaptureStdout();
    con.poke(0x0801, 0xAB);
    r.cpu.debug = false;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0001=>ab\n");

    // $C000-$FFFF folds onto $8000 only for one 16 KiB bank on mappers 0 and 3.
    for (int mapper : {0, 3, 1, 2}) {
        for (int banks : {1, 2}) {
            Rig m(test::make_cart(mapper, banks));
            m.cpu.memory[0xBFFC] = 0x5C;
            m.cpu.memory[0xFFFC] = 0xFC;
            const bool folds = banks == 1 && (mapper == 0 || mapper == 3);
            EXPECT_EQ(m.console->peek(0xFFFC), folds ? 0x5C : 0xFC) << mapper << " " << banks;
        }
    }
}

TEST(MemoryMap, PpuRegisters) {
    Rig r;
    auto& con = *r.console;
    auto& ppu = r.ppu;
    ppu.t = 0x8000;
    con.poke(0x2000, 0x03);
    EXPECT_EQ(ppu.t, 0x8C00);

    con.poke(0x2003, 0x02);
    con.poke(0x2004, 0xFF);  // attribute byte: bits 2-4 do not exist
    EXPECT_EQ(ppu.oam[2], 0xE3);
    EXPECT_EQ(r.cpu.memory[0x2004], 0xE3);
    EXPECT_EQ(ppu.oam_addr, 3);
    con.poke(0x2003, 0x02);
    EXPECT_EQ(con.peek(0x2004), 0xE3);
    EXPECT_EQ(ppu.oam_addr, 2);

    ppu.t = 0;
    con.poke(0x2005, 0x7D);
    con.poke(0x2005, 0x5E);
    EXPECT_EQ(ppu.x, 5);
    EXPECT_EQ(ppu.t, 6 << 12 | 11 << 5 | 15);  // fine Y, coarse Y, coarse X
    EXPECT_FALSE(ppu.w);

    ppu.t = 0xFFFF;
    con.poke(0x2006, 0x21);
    EXPECT_EQ(ppu.t, 0xA1FF);  // bit 14 cleared, bit 15 kept
    ppu.t = 0;
    ppu.w = false;
    con.poke(0x2006, 0x21);
    con.poke(0x2006, 0x08);
    EXPECT_EQ(ppu.t, 0x2108);
    EXPECT_EQ(ppu.v, 0x2108);

    // PPUDATA: writes step v; reads come through the buffer except palette.
    auto set_v = [&](uint16_t v) {
        con.poke(0x2006, v >> 8);
        con.poke(0x2006, v & 0xFF);
    };
    set_v(0x2000);
    con.poke(0x2007, 0xAB);
    con.poke(0x2007, 0xCD);
    EXPECT_EQ(ppu.read(0x2000), 0xAB);
    ppu.read_buffer = 0x77;
    set_v(0x2000);
    EXPECT_EQ(con.peek(0x2007), 0x77);
    EXPECT_EQ(con.peek(0x3FFF), 0xAB);  // a mirror of PPUDATA
    EXPECT_EQ(ppu.read_buffer, 0xCD);
    con.poke(0x2000, 0x04);  // step 32
    EXPECT_EQ(con.peek(0x2007), 0xCD);
    EXPECT_EQ(ppu.v, 0x2022);
    con.poke(0x2007, 0x01);
    EXPECT_EQ(ppu.v, 0x2042);
    con.poke(0x2000, 0x00);
    set_v(0x3F00);
    con.poke(0x2007, 0x2A);
    // A palette read answers at once and leaves the name-table byte under the
    // palette ($2F00 here, which horizontal arrangement folds onto $2B00) in the buffer.
    ppu.memory[0x2B00] = 0x66;
    set_v(0x3F00);
    ppu.read_buffer = 0x55;
    EXPECT_EQ(con.peek(0x2007), 0x2A);
    EXPECT_EQ(ppu.read_buffer, 0x66);

    // Pattern memory takes PPUDATA writes only when it is CHR-RAM.
    for (int chr_8k : {1, 0}) {
        test::Cart cart;
        cart.chr_8k = chr_8k;
        Rig c(cart);
        c.ppu.memory[0x0123] = 0x99;
        c.console->poke(0x2006, 0x01);
        c.console->poke(0x2006, 0x23);
        c.console->poke(0x2007, 0x42);
        EXPECT_EQ(c.ppu.memory[0x0123], chr_8k ? 0x99 : 0x42) << chr_8k;
        EXPECT_EQ(c.ppu.v, 0x0124);
    }
}

TEST(MemoryMap, PpuStatusRaceWithVblank) {
    struct Case {
        int scanline, dot;
        uint8_t stored, expect;
        bool nmi_after, suppressed;
    };
    const Case cases[] = {
        {241, 1, 0x80, 0x00, false, true},   // too early: reads clear, this frame's vblank suppressed
        {241, 2, 0x00, 0x80, false, true},   // reads set, the NMI is cancelled
        {261, 5, 0x80, 0x00, true, false},   // pre-render line: reads clear, nothing else changes
        {100, 5, 0xA0, 0xA0, false, false},  // ordinary read
    };
    for (const Case& c : cases) {
        Rig r;
        r.ppu.scanline = c.scanline;
        r.ppu.dot = c.dot;
        r.ppu.nmi_occurred = true;
        r.ppu.w = true;
        r.cpu.memory[0x2002] = c.stored;
        EXPECT_EQ(r.console->peek(0x2002), c.expect) << c.scanline << "," << c.dot;
        EXPECT_EQ(r.cpu.memory[0x2002], c.stored & 0x7F);
        EXPECT_EQ(r.ppu.nmi_occurred, c.nmi_after);
        EXPECT_EQ(r.ppu.suppress_vblank && r.ppu.suppress_nmi, c.suppressed);
        EXPECT_FALSE(r.ppu.w);
    }
}

TEST(MemoryMap, OamDma) {
    Rig r;
    for (int i = 0; i < 256; ++i) r.cpu.memory[0x200 + i] = static_cast<uint8_t>(i);
    r.program(0x300, {0xA9, 0x02, 0x8D, 0x14, 0x40});  // LDA #$02; STA $4014
    r.run(2);
    EXPECT_EQ(r.cpu.cycles, 6);
    EXPECT_EQ(r.ppu.oam_addr, 0);
    EXPECT_EQ(r.cpu.memory[0x4014], 0x02);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(r.ppu.oam[i], (i & 3) == 2 ? (i & 0xE3) : i) << i;

    r.ppu.oam_addr = 5;  // starts at oam_addr and wraps; masking follows the destination
    r.console->poke(0x4014, 0x02);
    EXPECT_EQ(r.ppu.oam_addr, 5);
    EXPECT_EQ(r.ppu.oam[6], 0x01);
    EXPECT_EQ(r.ppu.oam[10], 0x05 & 0xE3);
    EXPECT_EQ(r.ppu.oam[4], 0xFF);
}

TEST(MemoryMap, PadProtocol) {
    Rig r;
    auto& con = *r.console;
    bool buttons[8] = {true, false, true, true, false, false, true, false};
    NES::Controller pad(buttons);
    r.cpu.set_controller(&pad, 0);
    r.cpu.set_controller(&pad, 7);  // no such port
    EXPECT_EQ(r.cpu.pads[1], nullptr);

    auto reads = [&](uint16_t port, int n) {
        std::string seen;
        for (int i = 0; i < n; ++i) seen += std::to_string(con.peek(port) - 0x40);
        return seen;
    };
    con.poke(0x4016, 1);
    EXPECT_EQ(reads(0x4016, 3), "111");  // strobe held: the first button again and again
    con.poke(0x4016, 0);
    EXPECT_EQ(reads(0x4016, 10), "1011001011");
    EXPECT_EQ(reads(0x4017, 9), "000000001");  // no pad in port 2
}

}  // namespace
