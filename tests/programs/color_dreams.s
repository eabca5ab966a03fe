; layout: banked
; Color Dreams (11): 32 KiB PRG in bits 0-1, 8 KiB CHR in bits 4-7, bus conflicts.
.include "boards.inc"
BOARD 11, 3, 0, 0
HOME $FFF0, 0
    C32 {$FFF0, $21}, 1, NT_ANY, 2
    C32 {$FFF0, $F3}, 3, NT_ANY, 15
    C32 {$FFF0, $03, $A000, $FF}, 1, NT_ANY, 0  ; $A000 drives 13: $FF & 13
END_CASES
