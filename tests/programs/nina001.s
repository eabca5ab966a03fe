; layout: banked
; NINA-001 (34 with CHR-ROM): $7FFD 32 KiB PRG, $7FFE and $7FFF 4 KiB CHR.
.include "boards.inc"
BOARD 34, 3, 0, 0
HOME $7FFD, 0
    C32 {$7FFD, 1, $7FFE, 5, $7FFF, 10}, 1, NT_ANY
    CHR 20, 21, 22, 23, 40, 41, 42, 43
    C32 {$7FFD, 2}, 0, NT_ANY, NONE
END_CASES
