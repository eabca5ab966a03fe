; layout: banked
; MMC5 (5): PRG modes with ROM and RAM banks, CHR modes and the 8x16 sets, the name-table
; mapping, ExRAM modes, the fill table, the multiplier, the scanline counter and the pulses'
; length counters. Each PRG-RAM bank 1-7 starts with $D0 + its number; bank 0 holds the report
; at $6000. From the start pulse 1 plays at period 255 (437 Hz), and goes on after the result.
.include "boards.inc"
BOARD 5, 31, 0, 0
.segment "CODE"
board_start:
    WRITES start                ; no frame interrupt from the APU, PRG-RAM writable
    WRITES tone
    ldx #7
:   stx $5113
    txa
    ora #$D0
    sta $6000
    dex
    bne :-
    stx $5113
    rts
board_ack:
    lda $5204
    rts
; PPU address A:X.
ppu_at:
    bit PPUSTATUS
    sta PPUADDR
    stx PPUADDR
    rts
wait_vblank:
    bit PPUSTATUS
    bpl wait_vblank
    rts
wait_in_frame:
    bit $5204
    bvc wait_in_frame
    rts

board_extra:
    WRITES protected            ; RAM bank 1 at $8000
    lda $8000
    EXPECT_A $D1, 101, "PRG-RAM took a write while $5102 protected it"
    WRITES unprotected
    lda $6000
    EXPECT_A $77, 102, "a PRG-RAM write at $8000 did not show where $6000 shows the bank"
    WRITES factors
    lda $5205
    EXPECT_A $8E, 103, "the low byte of $C3 x $5A"
    lda $5206
    EXPECT_A $44, 104, "the high byte of $C3 x $5A"
    WRITES exram_modes          ; ExRAM as CPU RAM, then read-only
    lda $5C00
    EXPECT_A $5A, 105, "ExRAM in mode 3 lost a mode 2 write or took its own"
    WRITES tables               ; CIRAM A, B, ExRAM, fill
    lda #$28
    ldx #$05
    jsr ppu_at
    lda #$12
    sta PPUDATA
    lda #$2C
    ldx #0
    jsr ppu_at
    sta PPUDATA
    ldy #3
:   lda table_reads, y
    ldx table_reads + 4, y
    jsr ppu_at
    lda PPUDATA
    lda PPUDATA
    cmp table_reads + 8, y
    beq :+
    FAIL 106, "the ExRAM or fill tables do not read as written"
:   dey
    bpl :--
    lda #2
    sta $5104
    lda $5C05
    EXPECT_A $12, 107, "a PPUDATA write to the ExRAM table did not reach ExRAM"
    lda #0
    sta $5104
    lda $5C05
    EXPECT_A $5C, 108, "ExRAM in mode 0 drove a CPU read"

    jsr wait_vblank             ; a request on line 10 of a drawn frame
    lda $5204
    EXPECT_A 0, 109, "in frame or pending while nothing was drawn"
    WRITES line_10
    jsr wait_in_frame
    jsr count_to_irq
    EXPECT_LOOPS 80, 92, 110, "no request 10 lines into the frame"
    WRITES line_2               ; requests off: the pending flag alone
    jsr wait_vblank
    jsr wait_in_frame
    ldx #100
:   dex
    bne :-
    lda $5204
    EXPECT_A $C0, 111, "not pending and in frame 4 lines into the frame"
    lda $5204
    EXPECT_A $40, 112, "a read of $5204 did not acknowledge"
    jsr wait_vblank
    lda $5204
    EXPECT_A 0, 113, "still in frame in vertical blank"
    sta PPUMASK
    WRITES short_length         ; pulse 2 for two clocks of 240 Hz
    lda $5015
    EXPECT_A 3, 114, "$5015 did not read both length counters running"
    jsr wait_vblank
    jsr wait_vblank
    lda $5015
    EXPECT_A 1, 115, "pulse 2's length counter did not run out at 240 Hz, or pulse 1's halted one did"
    rts
start:
    W APU_FRAME, $40, $5102, 2, $5103, 1
    .word 0
tone:                           ; duty 1/2, halted, volume 15
    W $5015, 3, $5000, $BF, $5002, $FF, $5003, 0
    .word 0
short_length:
    W $5004, $10, $5007, $18
    .word 0
protected:
    W $5114, 1, $5102, 0, $8000, $77
    .word 0
unprotected:
    W $5102, 2, $8000, $77, $5113, 1
    .word 0
factors:
    W $5113, 0, $5205, $C3, $5206, $5A
    .word 0
exram_modes:
    W $5104, 2, $5C00, $5A, $5104, 3, $5C00, $11
    .word 0
tables:
    W $5104, 0, $5105, $E4, $5106, $3C, $5107, 2, $5C06, $66
    .word 0
line_10:
    W PPUMASK, $08, $5203, 10, $5204, $80
    .word 0
line_2:
    W $5204, 0, $5203, 2
    .word 0
table_reads:                    ; PPU addresses (high, low) and their bytes
    .byte $28, $2C, $2F, $28, $06, $00, $C0, $05, $66, $3C, $AA, $12

HOME $5100, 3, $5113, 0, $5102, 2, $5103, 1
    C {$5114, $84, $5115, $85, $5116, $86, $5105, $44}, $FF, 4, 5, 6, 31, NT_V, NONE
    C {$5113, 3, $5114, $01, $5115, $02, $5116, $87, $5105, $50}, $D3, $D1, $D2, 7, 31, NT_H, NONE
    C {$5100, 2, $5115, $89, $5116, $8A, $5105, $00}, $FF, 8, 9, 10, 31, NT_A, NONE
    C {$5100, 2, $5115, $02, $5116, $05, $5105, $55}, $FF, $D2, $D3, $D5, 31, NT_B, NONE
    C {$5100, 1, $5115, $0E}, $FF, $D6, $D7, 30, 31, NT_ANY, NONE
    C {$5100, 0}, $FF, 28, 29, 30, 31, NT_ANY, NONE
    W $5101, 3, $5120, $10, $5121, $21, $5122, $32, $5123, $43, $5124, $54
    C {$5125, $65, $5126, $76, $5127, $87, $5128, $99}, $FF, $FF, $FF, $FF, 31, NT_ANY
    CHR $10, $21, $32, $43, $54, $65, $76, $87
    C {$5101, 2, $5121, 5, $5123, 6, $5125, 7, $5127, 8}, $FF, $FF, $FF, $FF, 31, NT_ANY
    CHR 10, 11, 12, 13, 14, 15, 16, 17
    C {$5101, 1, $5123, 3, $5127, 9}, $FF, $FF, $FF, $FF, 31, NT_ANY
    CHR 12, 13, 14, 15, 36, 37, 38, 39
    C {$5101, 0, $5127, 2}, $FF, $FF, $FF, $FF, 31, NT_ANY, 2
    ; 8x16 sprites: PPUDATA reads the set written last
    C {$2000, $20, $5101, 3, $5128, $30, $5129, $31, $512A, $32, $512B, $33}, $FF, $FF, $FF, $FF, 31, NT_ANY
    CHR $30, $31, $32, $33, $30, $31, $32, $33
    C {$5120, $40, $5124, $44}, $FF, $FF, $FF, $FF, 31, NT_ANY
    CHR $40, 5, $32, 3, $44, 7, $76, 2
    C {$2000, 0, $512B, $50}, $FF, $FF, $FF, $FF, 31, NT_ANY
    CHR $40, 5, $32, 3, $44, 7, $76, 2
END_CASES
