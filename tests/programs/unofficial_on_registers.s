; layout: nrom
; Undocumented instructions on the PPU's and APU's registers: their reads
; and writes have the side effects of any other: a NOP with an operand reads
; it (clearing the vertical-blank flag), LAX reads through the PPUDATA
; buffer, ISC on PPUDATA reads and writes it, DCP on the APU status
; switches channels off.
.setcpu "6502X"
.include "report.inc"
INES_HEADER 0, 2, 1, 0

.segment "ZEROPAGE"
flag_seen: .res 1               ; PPUSTATUS in the NMI handler, after a NOP read of it or not
nop_first: .res 1

.segment "CODE"
reset:
    RESET_START
    REPORT_START
    lda #0
    sta nop_first
    jsr await_nmi
    EXPECT_A $80, 1, "the vertical-blank flag is not set in the NMI handler"
    inc nop_first
    jsr await_nmi
    EXPECT_A $00, 2, "NOP abs did not read PPUSTATUS"

    ; VRAM $2400-$2402 = $10 $20 $30, through PPUDATA.
    ldx #$00
    jsr vram_24xx
    ldx #$10
:   stx PPUDATA
    txa
    clc
    adc #$10
    tax
    cpx #$40
    bne :-
    ldx #$00
    jsr vram_24xx
    lax PPUDATA                 ; the buffer's previous byte; $10 comes in
    lax PPUDATA
    EXPECT_A $10, 3, "LAX PPUDATA did not read through the buffer"
    cpx #$10
    beq :+
    FAIL 4, "LAX PPUDATA did not load X"
:   sec
    isc PPUDATA                 ; reads $20 ($30 comes in), writes $21 at $2403
    ldx #$02
    jsr vram_24xx
    lda PPUDATA
    lda PPUDATA
    EXPECT_A $30, 5, "ISC PPUDATA wrote at the address it read"
    lda PPUDATA
    EXPECT_A $21, 6, "ISC PPUDATA did not write its result after the read"

    lda #$01
    sta APU_STATUS
    lda #$08
    sta SQ1_HI                  ; a length: pulse 1 sounds
    lax APU_STATUS
    EXPECT_A $01, 7, "LAX APU_STATUS does not show pulse 1"
    dcp APU_STATUS              ; writes $00
    lda APU_STATUS
    EXPECT_A $00, 8, "DCP APU_STATUS did not switch pulse 1 off"
    PASS

; Points PPUDATA at $2400 + X.
vram_24xx:
    bit PPUSTATUS
    lda #$24
    sta PPUADDR
    stx PPUADDR
    rts

; Waits for the next NMI; A = what its handler saw of the flag.
await_nmi:
    lda #$FF
    sta flag_seen
    lda #$80
    sta PPUCTRL
:   lda flag_seen
    cmp #$FF
    beq :-
    lda #0
    sta PPUCTRL
    lda flag_seen
    rts

nmi:
    pha
    lda nop_first
    beq :+
    nop PPUSTATUS
:   lda PPUSTATUS
    and #$80
    sta flag_seen
    pla
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
