; layout: banked
; MMC2 (9): 8 KiB PRG, mirroring, and 4 KiB CHR per table chosen by its latch: a frame
; drawn first with tile $FD as sprite 0 ($0000) and at $2000 ($1000) selects $B000 and $D000.
.include "boards.inc"
BOARD 9, 31, 0, 0
.segment "CODE"
board_start:
    lda #$FD
    ldx #1
    stx OAMADDR
    sta OAMDATA                 ; sprite 0's tile, at Y 0 (OAM is clear)
    ldx #$20
    stx PPUADDR
    ldx #0
    stx PPUADDR
    sta PPUDATA
    stx PPUSCROLL
    stx PPUSCROLL
    lda #$10                    ; the background from $1000
    sta PPUCTRL
:   bit PPUSTATUS
    bpl :-
    lda #$0A
    sta PPUMASK
:   bit PPUSTATUS
    bpl :-
:   bit PPUSTATUS
    bpl :-
    stx PPUMASK
    stx PPUCTRL
    rts
HOME $B000, 2, $C000, 3, $D000, 4, $E000, 5
    C {$A000, 5, $F000, 0}, $FF, 5, 29, 30, 31, NT_V, NONE
    C {$A000, $1E, $F000, 1}, $FF, 14, 29, 30, 31, NT_H
    CHR 8, 9, 10, 11, 16, 17, 18, 19
    C {$B000, $27, $C000, 0, $D000, $21}, $FF, $FF, $FF, $FF, 31, NT_ANY
    CHR 28, 29, 30, 31, 4, 5, 6, 7
END_CASES
