; layout: banked
; UNROM with a 74HC08 (180): the first 16 KiB fixed at $8000, bits 0-2 the bank at $C000.
CODE_BANK = 1
CHR_RAM = 1
.include "boards.inc"
INES_HEADER 180, 16, 0, 0
NO_BOARD_HOOKS
HOME $FFF0, 0
    W $FFF0, $05
    SEE $FF, 0, 1, 10, 11, NT_ANY
    CHR8 0
    W $FFF0, $0F
    SEE $FF, 0, 1, 14, 15, NT_ANY
    CHR8 0
END_CASES
