; layout: banked
; VRC4a and VRC4c (21), each variant's address lines.
VRC_MAPPER = 21
R1 = 2
R2 = 4
R3 = 6
S1 = $40
S2 = $80
S3 = $C0
.include "vrc4.inc"
