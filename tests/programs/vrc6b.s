; layout: banked
; VRC6b (26): index lines A1, A0.
VRC_MAPPER = 26
R1 = 2
R2 = 1
R3 = 3
TONE = $B000                    ; the sawtooth at rate 42 (levels 0-31): 499 Hz
TONE_0 = 42
.include "vrc6.inc"
