; layout: banked
; BNROM (34 with CHR-RAM): 32 KiB PRG banks at $8000-$FFFF, bus conflicts.
.include "boards.inc"
BOARD 34, 3, 1, 0
HOME $FFF0, 0
    C32 {$FFF0, $05}, 5, NT_ANY, 0
    C32 {$FFF0, $07}, 7, NT_ANY, 0
    C32 {$FFF0, $03, $8000, $FE}, 4, NT_ANY, 0  ; $8000 drives 12: $FE & 12
END_CASES
