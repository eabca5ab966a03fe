; layout: banked
; The NINA-03/06 multicart (113): MCPP PCCC at $4100, M vertical mirroring.
CODE_BANK = 3
CHR_RAM = 0
.include "boards.inc"
INES_HEADER 113, 16, 32, 0
NO_BOARD_HOOKS
HOME $4100, 0
    L32 $4100, $BF, 7, 7, NT_V
    L32 $4100, $49, 1, 9, NT_H
END_CASES
