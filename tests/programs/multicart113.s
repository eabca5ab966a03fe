; layout: banked
; The NINA-03/06 multicart (113): MCPP PCCC at $4100, M vertical mirroring.
.include "boards.inc"
BOARD 113, 3, 0, 0
HOME $4100, 0
    C32 {$4100, $BF}, 7, NT_V, 7
    C32 {$4100, $49}, 1, NT_H, 9
END_CASES
