; layout: banked
; NINA-03/06 (79): at $4100-$5FFF with A8 set, 32 KiB PRG in bit 3, 8 KiB CHR in bits 0-2.
.include "boards.inc"
BOARD 79, 3, 0, 0
HOME $4100, 0
    C32 {$4100, $0D}, 1, NT_ANY, 5
    C32 {$5FFF, $07}, 0, NT_ANY, 7
    C32 {$4200, $0F}, 0, NT_ANY, 0
END_CASES
