; layout: banked
; Sunsoft FME-7 (69): commands at $8000, parameters at $A000; the 16-bit
; counter of CPU cycles. From the start its 5B plays square A at period 128
; (437 Hz), volume 15, and goes on after the result.
.include "boards.inc"
BOARD 69, 31, 0, 0
.segment "CODE"
board_start:                    ; RAM at $6000 for the report
    WRITES home_writes
    WRITES tone
    rts
tone:
    W $C000, 0, $E000, 128, $C000, 1, $E000, 0, $C000, 8, $E000, $0F
    W $C000, 7, $E000, $3E
    .word 0
board_extra:
    WRITES counter_on
    jsr count_to_irq
    EXPECT_LOOPS 98, 118, 101, "no request 1400 CPU cycles after the counter started"
    WRITES counter_stopped
    jsr count_to_irq
    EXPECT_LOOPS 0, 0, 102, "a request while the counter was stopped"
    lda $6001
    EXPECT_A $DE, 103, "the PRG-RAM lost its bytes while ROM was at $6000"
    rts
board_ack:
    WRITES acknowledge
    rts
counter_on:
    W $8000, $0E, $A000, <1400, $8000, $0F, $A000, >1400, $8000, $0D, $A000, $81
    .word 0
counter_stopped:
    W $8000, $0E, $A000, <1400, $8000, $0D, $A000, $01
    .word 0
acknowledge:
    W $8000, $0D, $A000, 0
    .word 0

HOME $8000, 8, $A000, $C0
    W $8000, 0, $A000, $20, $8000, 1, $A000, $41, $8000, 2, $A000, $62
    W $8000, 3, $A000, $83, $8000, 4, $A000, $A4, $8000, 5, $A000, $C5
    W $8000, 6, $A000, $E6, $8000, 7, $A000, $07, $8000, 9, $A000, 3
    C {$8000, 10, $A000, 7, $8000, 11, $A000, $2A, $8000, 12, $A000, 1}, $FF, 3, 7, 10, 31, NT_H
    CHR $20, $41, $62, $83, $A4, $C5, $E6, $07
    C {$8000, 8, $A000, $05, $8000, 12, $A000, 2}, 5, 3, 7, 10, 31, NT_A, NONE
    C {$8000, 12, $A000, 3}, $FF, $FF, $FF, $FF, 31, NT_B, NONE
    C {$8000, 12, $A000, 0}, $FF, $FF, $FF, $FF, 31, NT_V, NONE
END_CASES

