; layout: banked
; VRC6a (24): index lines A0, A1.
VRC_MAPPER = 24
R1 = 1
R2 = 2
R3 = 3
.include "vrc6.inc"
