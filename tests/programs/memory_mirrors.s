; layout: nrom
; Memory mirrors: work RAM repeats every 2 KiB up to $1FFF, and the picture
; unit's eight registers every 8 bytes up to $3FFF.
.include "report.inc"
INES_HEADER 0, 2, 1, 0

.segment "CODE"
reset:
    RESET_START
    REPORT_START
    lda #$5A
    sta $0123
    lda $0923
    EXPECT_A $5A, 1, "RAM at $0923 does not show $0123"
    lda #$A5
    sta $1923
    lda $0123
    EXPECT_A $A5, 2, "a write to $1923 does not reach $0123"

    ; Palette entry 1 written through mirrors of PPUADDR ($3FFE) and
    ; PPUDATA ($2FFF), read back through the registers themselves.
    bit PPUSTATUS
    lda #$3F
    sta $3FFE
    lda #$01
    sta $3FFE
    lda #$2A
    sta $2FFF
    bit PPUSTATUS
    lda #$3F
    sta PPUADDR
    lda #$01
    sta PPUADDR
    lda PPUDATA                 ; palette bytes come without the read buffer
    and #$3F
    EXPECT_A $2A, 3, "the PPU registers do not repeat every 8 bytes"
    PASS

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
