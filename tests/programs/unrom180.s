; layout: banked
; UNROM with a 74HC08 (180): the first 16 KiB fixed at $8000, bits 0-2 the bank at $C000.
.include "boards.inc"
BOARD 180, 1, 1, 0
HOME $FFF0, 0
    C {$FFF0, $05}, $FF, 0, 1, 10, 11, NT_ANY, 0
    C {$FFF0, $0F}, $FF, 0, 1, 14, 15, NT_ANY, 0
END_CASES
