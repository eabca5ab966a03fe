; layout: banked
; AxROM (7): 32 KiB PRG banks in bits 0-2, the one-screen table in bit 4.
.include "boards.inc"
BOARD 7, 3, 1, 0
HOME $FFF0, 0
    L32 $FFF0, $03, 3, 0, NT_A
    L32 $FFF0, $17, 7, 0, NT_B
    L32 $FFF0, $0D, 5, 0, NT_A
    L32 $FFF0, $1E, 6, 0, NT_B
END_CASES
