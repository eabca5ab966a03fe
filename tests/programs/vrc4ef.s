; layout: banked
; VRC4f and VRC4e (23), each variant's address lines.
VRC_MAPPER = 23
R1 = 1
R2 = 2
R3 = 3
S1 = 4
S2 = 8
S3 = $C
.include "vrc4.inc"
