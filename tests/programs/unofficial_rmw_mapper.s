; layout: cnrom
; The combined read-modify-write instructions write their result to a
; cartridge register: the CHR bank that CNROM selects is the ROM byte at the
; address, modified (the ROM byte has every bit of the result, so that a bus
; conflict would not change it).
.setcpu "6502X"
.include "report.inc"
INES_HEADER 3, 2, 4, 0

.segment "CODE"
reset:
    RESET_START
    REPORT_START
    dcp rom_03                  ; $03 - 1
    jsr chr_bank
    EXPECT_A 2, 1, "DCP did not write $02 to the bank register"
    clc
    ldx #1
    rra rom_07 - 1,x            ; ROR $07 = $03
    jsr chr_bank
    EXPECT_A 3, 2, "RRA abs,X did not write $03 to the bank register"
    ldy #0
    sre rom_03,y                ; LSR $03 = $01
    jsr chr_bank
    EXPECT_A 1, 3, "SRE abs,Y did not write $01 to the bank register"
    PASS

; A = the first byte of the CHR bank in $0000-$1FFF (its number).
chr_bank:
    bit PPUSTATUS
    lda #0
    sta PPUADDR
    sta PPUADDR
    lda PPUDATA                 ; the read buffer's previous byte
    lda PPUDATA
    rts

rom_03: .byte $03
rom_07: .byte $07

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
    .byte 0
    .res $1FFF
    .byte 1
    .res $1FFF
    .byte 2
    .res $1FFF
    .byte 3
    .res $1FFF
