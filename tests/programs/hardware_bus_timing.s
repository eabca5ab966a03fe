; layout: nrom
; The hardware model's bus, cycle by cycle: the APU's frame interrupt flag
; rises some 29830 CPU cycles after a $4017 write, reading $4015 clears it,
; and its interrupt comes again a sequence later; OAM DMA takes over 500 cycles from the program; CLI lets one more
; instruction run before a pending interrupt; an indexed read that crosses a
; page reads the uncorrected address first ($2007: the PPUDATA buffer moves
; twice).
.include "report.inc"
INES_HEADER 0, 2, 1, 0

.segment "ZEROPAGE"
seen: .res 1                    ; X when the interrupt came
count: .res 2                   ; rounds of waiting for it

; About 1286 CPU cycles per count.
.macro DELAY counts
.local outer, inner
    ldy #counts
outer:
    ldx #0
inner:
    dex
    bne inner
    dey
    bne outer
.endmacro

.segment "CODE"
reset:
    RESET_START
    REPORT_START
    stx APU_FRAME               ; the 4-step sequence with its interrupt
    DELAY 23                    ; 29590 cycles: not yet
    lda APU_STATUS
    and #$40
    EXPECT_A $00, 1, "the frame interrupt flag rose too soon"
    DELAY 1
    lda APU_STATUS
    and #$40
    EXPECT_A $40, 2, "the frame interrupt flag did not rise"
    lda APU_STATUS
    and #$40
    EXPECT_A $00, 3, "reading \$4015 did not clear the frame interrupt flag"

    lda #0
    sta APU_FRAME
    sta OAMDMA                  ; a DMA: the same delay now reaches the flag
    DELAY 23
    lda APU_STATUS
    and #$40
    EXPECT_A $40, 4, "OAM DMA took no cycles from the program"

    lda #0
    sta APU_FRAME
    DELAY 24                    ; the interrupt line is low, I set
    ldx #0
    cli
    inx                         ; runs before the interrupt
    inx
    lda seen
    EXPECT_A $01, 5, "the interrupt did not come one instruction after CLI"

    lda #0                      ; a flag left standing, cleared shortly
    sta APU_FRAME               ; before it rises again a sequence later:
    DELAY 46                    ; the interrupt still comes on time
    ldx #60
:   dex
    bne :-
    lda APU_STATUS
    lda #0
    sta seen
    sta count
    sta count+1
    ldx #1
    cli
wait:
    inc count                   ; 11 or 16 cycles a round
    bne :+
    inc count+1
:   lda seen
    beq wait
    lda count
    and #$C0
    ora count+1
    EXPECT_A $00, 7, "the frame interrupt came late after \$4015 cleared its flag"

    bit PPUSTATUS               ; VRAM $2400-$2402 = $10 $20 $30
    lda #$24
    sta PPUADDR
    lda #$00
    sta PPUADDR
    ldx #$10
    stx PPUDATA
    ldx #$20
    stx PPUDATA
    ldx #$30
    stx PPUDATA
    lda #$24
    sta PPUADDR
    lda #$00
    sta PPUADDR
    lda PPUDATA                 ; the buffer takes $10
    ldx #$10
    lda $20F7,x                 ; reads $2007, then $2107
    EXPECT_A $20, 6, "a page-crossing read did not read the uncorrected address first"
    PASS

irq:
    stx seen
    lda APU_STATUS              ; the line goes high
    lda #$40
    sta APU_FRAME
    pla                         ; once: back with I set
    ora #$04
    pha
nmi:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
