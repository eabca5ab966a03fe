; layout: banked
; UNROM 512 (30), one-screen variant: 16 KiB PRG in bits 0-4, CHR-RAM bank in 5-6, the table in 7, bus conflicts.
.include "boards.inc"
BOARD 30, 31, 1, 8
HOME $FFF0, 0
    C {$FFF0, $25}, $FF, 10, 11, 30, 31, NT_A, 1
    C {$FFF0, $C3}, $FF, 6, 7, 30, 31, NT_B, 2
    C {$FFF0, $7F}, $FF, 30, 31, 30, 31, NT_A, 3
    C {$FFF0, $20}, $FF, 0, 1, 30, 31, NT_A, 1
    C {$FFF0, $05, $8000, $FF}, $FF, 20, 21, 30, 31, NT_A, 0  ; $8000 drives 10
END_CASES
