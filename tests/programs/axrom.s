; layout: banked
; AxROM (7): 32 KiB PRG banks in bits 0-2, the one-screen table in bit 4.
.include "boards.inc"
BOARD 7, 3, 1, 0
HOME $FFF0, 0
    C32 {$FFF0, $03}, 3, NT_A, 0
    C32 {$FFF0, $17}, 7, NT_B, 0
    C32 {$FFF0, $0D}, 5, NT_A, 0
    C32 {$FFF0, $1E}, 6, NT_B, 0
END_CASES
