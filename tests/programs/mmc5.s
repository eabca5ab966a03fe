; layout: banked
; MMC5 (5): PRG modes with ROM and RAM banks, CHR modes and the 8x16 sets, the name-table
; mapping, ExRAM modes, the fill table, the multiplier and the scanline counter. Each PRG-RAM
; bank 1-7 starts with $D0 + its number; bank 0 holds the report at $6000.
.include "boards.inc"
BOARD 5, 31, 0, 0
.segment "CODE"
board_start:
    lda #$40                    ; no frame interrupt from the APU
    sta APU_FRAME
    lda #2                      ; PRG-RAM writable
    sta $5102
    lda #1
    sta $5103
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
; The byte at PPU address A:X, through the read buffer.
ppu_read:
    jsr ppu_at
    lda PPUDATA
    lda PPUDATA
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
    lda #$01                    ; RAM bank 1 at $8000, protected
    sta $5114
    lda #0
    sta $5102
    lda #$77
    sta $8000
    lda $8000
    EXPECT_A $D1, 101, "PRG-RAM took a write while $5102 protected it"
    lda #2
    sta $5102
    lda #$77
    sta $8000
    lda #1
    sta $5113
    lda $6000
    EXPECT_A $77, 102, "a PRG-RAM write at $8000 did not show where $6000 shows the bank"
    lda #0
    sta $5113

    lda #$C3
    sta $5205
    lda #$5A
    sta $5206
    lda $5205
    EXPECT_A $8E, 103, "the low byte of $C3 x $5A"
    lda $5206
    EXPECT_A $44, 104, "the high byte of $C3 x $5A"

    ldx #2                      ; ExRAM as CPU RAM, then read-only
    stx $5104
    lda #$5A
    sta $5C00
    lda $5C00
    EXPECT_A $5A, 105, "ExRAM in mode 2 did not keep a CPU write"
    inx
    stx $5104
    lda #$11
    sta $5C00
    lda $5C00
    EXPECT_A $5A, 106, "ExRAM in mode 3 took a CPU write"

    lda #0                      ; tables: CIRAM A, B, ExRAM, fill
    sta $5104
    lda #$E4
    sta $5105
    lda #$3C
    sta $5106
    lda #2
    sta $5107
    lda #$28
    ldx #$05
    jsr ppu_at
    lda #$12
    sta PPUDATA
    lda #$66
    sta $5C06
    lda #$28
    ldx #$06
    jsr ppu_read
    EXPECT_A $66, 107, "a CPU write to ExRAM did not show in its name table"
    lda #$2C
    ldx #0
    jsr ppu_at
    lda #$99
    sta PPUDATA
    lda #$2C
    ldx #0
    jsr ppu_read
    EXPECT_A $3C, 108, "the fill table does not read as the fill tile"
    lda #$2F
    ldx #$C0
    jsr ppu_read
    EXPECT_A $AA, 109, "the fill table's attributes do not read as $5107"
    lda #2
    sta $5104
    lda $5C05
    EXPECT_A $12, 110, "a PPUDATA write to the ExRAM table did not reach ExRAM"
    lda #0
    sta $5104
    lda $5C05
    EXPECT_A $5C, 111, "ExRAM in mode 0 drove a CPU read"

    jsr wait_vblank             ; a request on line 10 of a drawn frame
    lda $5204
    EXPECT_A 0, 112, "in frame or pending while nothing was drawn"
    lda #$08
    sta PPUMASK
    lda #10
    sta $5203
    lda #$80
    sta $5204
    jsr wait_in_frame
    jsr count_to_irq
    EXPECT_LOOPS 80, 92, 113, "no request 10 lines into the frame"
    lda #0                      ; requests off: the pending flag alone, on line 2
    sta $5204
    lda #2
    sta $5203
    jsr wait_vblank
    jsr wait_in_frame
    ldx #100
:   dex
    bne :-
    lda $5204
    EXPECT_A $C0, 114, "not pending and in frame 4 lines into the frame"
    lda $5204
    EXPECT_A $40, 115, "a read of $5204 did not acknowledge"
    jsr wait_vblank
    lda $5204
    EXPECT_A 0, 116, "still in frame in vertical blank"
    lda #0
    sta PPUMASK
    rts

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
