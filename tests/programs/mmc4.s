; layout: banked
; MMC4 (10): 16 KiB PRG at $8000, the MMC2's CHR registers, PRG-RAM at $6000.
.include "boards.inc"
BOARD 10, 31, 0, 0
HOME $B000, 2, $C000, 3, $D000, 4, $E000, 5
    C {$A000, 5, $F000, 0}, $FF, 10, 11, 30, 31, NT_V, NONE
    C {$A000, $1E, $F000, 1, $C000, $27, $E000, $21}, $FF, 28, 29, 30, 31, NT_H
    CHR 28, 29, 30, 31, 4, 5, 6, 7
END_CASES
