; layout: banked
; Action 53 (28): every PRG mode and size, the CHR-RAM bank and the arrangements.
CODE_BANK = 31
CHR_RAM = 1
.include "boards.inc"
INES_HEADER 28, 16, 0, 0
NO_BOARD_HOOKS
HOME $5000, $80, $8000, $3C, $5000, $81, $8000, $FF
    W $5000, $80, $8000, $02, $5000, $81, $8000, $03
    SEE32 3, NT_V
    CHR8 0
    W $5000, $80, $8000, $17, $5000, $81, $8000, $04
    W $5000, $01, $8000, $01
    SEE32 5, NT_H
    CHR8 0
    W $5000, $80, $8000, $2E, $5000, $81, $8000, $01
    W $5000, $01, $8000, $05
    SEE $FF, 10, 11, 14, 15, NT_V
    CHR8 0
    W $5000, $80, $8000, $39, $5000, $81, $8000, $01
    W $5000, $01, $8000, $19
    SEE $FF, 0, 1, 18, 19, NT_B
    CHR8 0
    W $5000, $00, $8000, $12
    SEE $FF, 18, 19, 30, 31, NT_B
    CHR8 2
    W $5000, $00, $8000, $03
    SEE $FF, 18, 19, 30, 31, NT_A
    CHR8 3
    W $5000, $00, $8000, $02
    SEE $FF, 18, 19, 30, 31, NT_A
    CHR8 2
END_CASES
