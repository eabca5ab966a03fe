; layout: banked
; GxROM (66): 32 KiB PRG in bits 4-5, 8 KiB CHR in bits 0-1, bus conflicts.
.include "boards.inc"
BOARD 66, 3, 0, 0
HOME $FFF0, 0
    C32 {$FFF0, $12}, 1, NT_ANY, 2
    C32 {$FFF0, $33}, 3, NT_ANY, 3
    C32 {$FFF0, $30, $A000, $FF}, 0, NT_ANY, 1  ; $A000 drives 13: $FF & 13
END_CASES
