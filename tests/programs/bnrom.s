; layout: banked
; BNROM (34 with CHR-RAM): 32 KiB PRG banks at $8000-$FFFF, bus conflicts.
.include "boards.inc"
BOARD 34, 3, 1, 0
HOME $FFF0, 0
    L32 $FFF0, $05, 5, 0, NT_ANY
    L32 $FFF0, $07, 7, 0, NT_ANY
    W $FFF0, $03                ; then $8000 drives 12: $FE & 12
    L32 $8000, $FE, 4, 0, NT_ANY
END_CASES
