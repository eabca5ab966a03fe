; layout: banked
; Namco 108 (206): $8000 select, $8001 bank: 2 KiB and 1 KiB CHR, 8 KiB PRG at $8000 and $A000.
.include "boards.inc"
BOARD 206, 31, 0, 0
HOME
    W $8000, 0, $8001, $0B, $8000, 1, $8001, $14, $8000, 2, $8001, $21
    W $8000, 3, $8001, $22, $8000, 4, $8001, $23, $8000, 5, $8001, $3F
    C {$8000, 6, $8001, 5, $8000, 7, $8001, $29}, $FF, 5, 9, 30, 31, NT_ANY
    CHR 10, 11, 20, 21, 33, 34, 35, 63
    C {$9FFE, 6, $9FFF, $12}, $FF, 2, 9, 30, 31, NT_ANY, NONE
END_CASES
