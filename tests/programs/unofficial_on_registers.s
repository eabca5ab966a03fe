; layout: cnrom
; Undocumented instructions on registers have the side effects of any
; access: a NOP with an operand reads PPUSTATUS (clearing the vertical-blank
; flag), LAX reads through the PPUDATA buffer, ISC on PPUDATA reads it, then
; writes, DCP on the APU status switches a channel off, and DCP and RRA on
; the CNROM bank register write the modified ROM byte (which has every bit
; of the result, so that a bus conflict would not change it).
.setcpu "6502X"
.include "report.inc"
INES_HEADER 3, 2, 4, 0

.segment "ZEROPAGE"
seen: .res 1                    ; PPUSTATUS in the NMI handler, after a NOP read of it, OR 1

.segment "CODE"
reset:
    RESET_START
    REPORT_START
    stx seen
    lda #$80
    sta PPUCTRL
:   lda seen
    beq :-
    stx PPUCTRL
    EXPECT_A $01, 1, "NOP abs did not read PPUSTATUS"

    ldy #$00                    ; VRAM $2400-$2402 = $10 $20 $30
    jsr vram_24yy
    ldx #$10
    stx PPUDATA
    ldx #$20
    stx PPUDATA
    ldx #$30
    stx PPUDATA
    jsr vram_24yy
    lax PPUDATA                 ; the buffer's previous byte; $10 comes in
    lax PPUDATA
    EXPECT_A $10, 2, "LAX PPUDATA did not load A through the buffer"
    txa
    EXPECT_A $10, 3, "LAX PPUDATA did not load X"
    isc PPUDATA                 ; reads $20 ($30 comes in), writes $21 at $2403
    ldy #$02
    jsr vram_24yy
    lda PPUDATA
    lda PPUDATA
    EXPECT_A $30, 4, "ISC PPUDATA wrote at the address it read"
    lda PPUDATA
    EXPECT_A $21, 5, "ISC PPUDATA did not write its result after the read"

    lda #$01
    sta APU_STATUS
    sta SQ1_HI                  ; a length: pulse 1 sounds
    dcp APU_STATUS              ; reads $01, writes $00
    lda APU_STATUS
    EXPECT_A $00, 6, "DCP APU_STATUS did not switch pulse 1 off"

    dcp rom_03                  ; $03 - 1
    jsr chr_bank
    EXPECT_A 2, 7, "DCP did not write $02 to the bank register"
    clc
    ldx #1
    rra rom_07 - 1,x            ; ROR $07 = $03
    jsr chr_bank
    EXPECT_A 3, 8, "RRA abs,X did not write $03 to the bank register"
    PASS

; Points PPUDATA at $2400 + Y.
vram_24yy:
    bit PPUSTATUS
    lda #$24
    sta PPUADDR
    sty PPUADDR
    rts

; A = the first byte of the CHR bank at $0000 (its number).
chr_bank:
    bit PPUSTATUS
    ldy #$00
    sty PPUADDR
    sty PPUADDR
    lda PPUDATA                 ; the read buffer's previous byte
    lda PPUDATA
    rts

rom_03: .byte $03
rom_07: .byte $07

nmi:
    nop PPUSTATUS
    lda PPUSTATUS
    ora #$01
    sta seen
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
.repeat 4, bank
    .byte bank
    .res $1FFF
.endrepeat
