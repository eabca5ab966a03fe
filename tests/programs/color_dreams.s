; layout: banked
; Color Dreams (11): 32 KiB PRG in bits 0-1, 8 KiB CHR in bits 4-7, bus conflicts.
.include "boards.inc"
BOARD 11, 3, 0, 0
HOME $FFF0, 0
    L32 $FFF0, $21, 1, 2, NT_ANY
    L32 $FFF0, $F3, 3, 15, NT_ANY
    W $FFF0, $03                ; then $A000 drives 13: $FF & 13
    L32 $A000, $FF, 1, 0, NT_ANY
END_CASES
