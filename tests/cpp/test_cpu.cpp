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

TEST(CpuTables, ConstructionDecodeAndCycles) {
    auto cpu = std::make_unique<NES::CPU>();
    EXPECT_EQ(cpu->SP, 0x00);  // the reset sequence takes it to $FD
    EXPECT_EQ(cpu->P, 0x24);
    EXPECT_EQ(cpu->A | cpu->X | cpu->Y | cpu->cycles, 0);
    EXPECT_TRUE(std::all_of(cpu->memory, cpu->memory + 0x10000, [](uint8_t b) { return b == 0; }));

    int with_op = 0, crossing = 0;
    for (int op = 0; op < 256; ++op) {
        with_op += cpu->op_handlers[op] != nullptr;
        crossing += cpu->cross_cycles[op] != cpu->base_cycles[op];
        EXPECT_LE(cpu->cross_cycles[op] - cpu->base_cycles[op], 1);
        EXPECT_EQ(cpu->mode_handlers[op] == nullptr,
                  !cpu->mode_names[op] || cpu->mode_names[op] == std::string("impl"));
    }
    EXPECT_EQ(with_op, 151 + 12 + 11 + 1);  // documented, halts, NOPs, STX absx
    EXPECT_EQ(crossing, 32);

    auto cell = [&](int op) {
        return std::string(cpu->op_names[op] ? cpu->op_names[op] : "-") + " " +
               (cpu->mode_names[op] ? cpu->mode_names[op] : "-");
    };
    const std::pair<int, const char*> cells[] = {
        {0x00, "BRK impl"}, {0x02, "JAM impl"}, {0x0A, "ASL acc"},  {0x12, "JAM impl"}, {0x1A, "NOP impl"},
        {0x20, "JSR abs"},  {0x6C, "JMP ind"},  {0x80, "NOP imm"},  {0x81, "STA xind"}, {0x89, "NOP imm"},
        {0x96, "STX zpgy"}, {0x9A, "TXS impl"}, {0x9E, "STX absx"}, {0xB1, "LDA indy"}, {0xBE, "LDX absy"},
        {0xD0, "BNE rel"},  {0xEA, "NOP impl"}, {0x04, "- zpg"},    {0x97, "- zpgx"},   {0x9C, "- absx"},
        {0xFB, "- -"},
    };
    for (auto [op, text] : cells) EXPECT_EQ(cell(op), text) << op;
    EXPECT_TRUE(cpu->mode_handlers[0x6C] == &NES::CPU::ind);
    EXPECT_TRUE(cpu->mode_handlers[0xB1] == &NES::CPU::indy);
    EXPECT_TRUE(cpu->op_handlers[0x9E] == &NES::CPU::STX);
    EXPECT_EQ(cpu->base_cycles[0x00], 7);
    EXPECT_EQ(cpu->base_cycles[0xD0], 0);
    EXPECT_EQ(cpu->cross_cycles[0xBE] - cpu->base_cycles[0xBE], 1);
    EXPECT_EQ(cpu->cross_cycles[0x9D] - cpu->base_cycles[0x9D], 0);
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

TEST(CpuOperations, OpcodesWithoutOperationAndUndocumented) {
    struct Case {
        std::vector<uint8_t> code;
        int cycles, length;
        uint16_t address;  // where the result lands
        uint8_t value;
    };
    const Case cases[] = {
        {{0x04, 0x10}, 3, 2, 0x10, 0x00},         // zpg without operation
        {{0x0C, 0x10, 0x00}, 4, 3, 0x10, 0x00},   // abs
        {{0x1C, 0xFF, 0x00}, 5, 3, 0x10, 0x00},   // absx, crossing with X = 1
        {{0x03}, 8, 1, 0x10, 0x00},               // no mode: one byte
        {{0x9E, 0x00, 0x03}, 5, 3, 0x301, 0x01},  // STX absx
    };
    Rig r;
    for (const Case& c : cases) {
        r.cpu.A = 0x55;
        r.cpu.X = 1;
        r.cpu.memory[0x10] = 0;
        EXPECT_EQ(r.cost(c.code), c.cycles) << int(c.code[0]);
        EXPECT_EQ(r.cpu.PC, 0x200 + c.length) << int(c.code[0]);
        EXPECT_EQ(r.cpu.memory[c.address], c.value) << int(c.code[0]);
        EXPECT_EQ(r.cpu.A, 0x55);
    }

    // The undocumented NOPs: one byte, or two skipping an immediate they
    // never write; all take 2 cycles and leave every register and flag.
    for (uint8_t op : {0x1A, 0x3A, 0x5A, 0x7A, 0xDA, 0xFA, 0x80, 0x82, 0x89, 0xC2, 0xE2}) {
        const int length = (op & 0x0F) == 0x0A ? 1 : 2;
        r.cpu.P = 0x24;
        EXPECT_EQ(r.cost({op, 0x7F}), 2) << int(op);
        EXPECT_EQ(r.cpu.PC, 0x200 + length) << int(op);
        EXPECT_EQ(r.cpu.memory[0x201], 0x7F) << int(op);
        EXPECT_EQ(r.cpu.A | r.cpu.X << 8 | r.cpu.P << 16, 0x55 | 1 << 8 | 0x24 << 16) << int(op);
    }
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
    cart.poke(0xC000, {0xA9, 0x10, 0x03});  // LDA #$10; an opcode without operation
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
              "0x03: --- SP: fb [00,00,11,22]\n");

    char buf[256];
    cpu.ins_str(buf, 0xA9);
    EXPECT_STREQ(buf, "0xa9: LDA, imm, PC=$c003 - A=16 - X=0 - Y=0");
    cpu.ins_str(buf, 0x03);
    EXPECT_STREQ(buf, "0x03: ---");
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

    // The accumulator is no address: neither folded nor decoded.
    signed char* a = reinterpret_cast<signed char*>(&r.cpu.A);
    signed char* folded = a;
    r.cpu.map_memory(&folded);
    EXPECT_EQ(folded, a);
    r.cpu.write(a, 0x5A);
    EXPECT_EQ(r.cpu.read(a, true), 0x5A);

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
