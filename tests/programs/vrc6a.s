; layout: banked
; VRC6a (24): index lines A0, A1.
VRC_MAPPER = 24
R1 = 1
R2 = 2
R3 = 3
TONE = $9000                    ; pulse 1 at volume 15, duty 8/16: 437 Hz
TONE_0 = $7F
.include "vrc6.inc"
