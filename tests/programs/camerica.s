; layout: banked
; Camerica (71): bits 0-3 at $C000-$FFFF the 16 KiB bank at $8000, bit 4 at $9000 the one-screen table.
.include "boards.inc"
BOARD 71, 31, 1, 0
HOME
    W $C000, $09
    SEE $FF, 18, 19, 30, 31, NT_ANY, 0
    W $FFF0, $1F
    SEE $FF, 30, 31, 30, 31, NT_ANY, 0
    W $9000, $10
    SEE $FF, $FF, $FF, 30, 31, NT_B, 0
    W $9FFF, $00
    SEE $FF, $FF, $FF, 30, 31, NT_A, 0
    W $8000, $10                ; Fire Hawk's boards only
    SEE $FF, $FF, $FF, 30, 31, NT_A, 0
END_CASES
