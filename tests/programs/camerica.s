; layout: banked
; Camerica (71): bits 0-3 at $C000-$FFFF the 16 KiB bank at $8000, bit 4 at $9000 the one-screen table.
.include "boards.inc"
BOARD 71, 31, 1, 0
HOME
    C {$C000, $09}, $FF, 18, 19, 30, 31, NT_ANY, 0
    C {$FFF0, $1F}, $FF, 30, 31, 30, 31, NT_ANY, 0
    C {$9000, $10}, $FF, $FF, $FF, 30, 31, NT_B, 0
    C {$9FFF, $00}, $FF, $FF, $FF, 30, 31, NT_A, 0
    C {$8000, $10}, $FF, $FF, $FF, 30, 31, NT_A, 0  ; Fire Hawk's boards only
END_CASES
