; layout: banked
; VRC2a (22): index lines A1, A0; CHR banks are the registers halved; one
; arrangement bit; no counter.
.include "boards.inc"
BOARD 22, 31, 0, 0
HOME
    W $8000, 5, $A000, 9, $9000, 1, $B000, $A, $B002, 2, $B001, $C
    C {$B003, 4}, $FF, 5, 9, 30, 31, NT_H
    CHR $15, $26, $FF, $FF, $FF, $FF, $FF, $FF
    C {$9000, 2}, $FF, 5, 9, 30, 31, NT_V, NONE
END_CASES
