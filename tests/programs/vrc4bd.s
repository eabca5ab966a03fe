; layout: banked
; VRC4b and VRC4d (25), each variant's address lines.
VRC_MAPPER = 25
R1 = 2
R2 = 1
R3 = 3
S1 = 8
S2 = 4
S3 = $C
.include "vrc4.inc"
