; pictor demo cartridge
;
; A side-scrolling scene over two name tables under a fixed status bar, a
; ship steered with pad 1, sixteen sprites moving on their own, a four-channel
; tune with a DMC sound effect, and a boot counter kept in battery-backed RAM.
;
; Cartridge: mapper 0, 32 KiB PRG-ROM, 8 KiB CHR-ROM, vertical mirroring
; (name tables $2000 and $2400 side by side), battery RAM at $6000-$7FFF.
;
; Frame outline:
;   NMI (vertical blank): sprite DMA, status bar digits, scroll reset for the
;       unscrolled status bar, one step of the music.
;   main loop: waits for the NMI, waits for the sprite 0 hit at the status
;       bar's bottom edge and sets the horizontal scroll for the rest of the
;       picture, then reads the pad and moves everything for the next frame.

.include "tiles.inc"            ; sprite tile numbers, made with the graphics
.include "nes.inc"              ; register names, pad bits, RESET_START and other helpers

; PPUCTRL while running: NMI at vertical blank, 8x16 sprites, background
; patterns at $0000. Bit 0 selects the name table the picture starts in.
CTRL_RUN  = %10100000
; PPUMASK while running: background and sprites, also in the leftmost 8 pixels.
MASK_RUN  = %00011110

; Sprite 0: its opaque top line lies on pixel row 20, the status bar's bottom
; edge (OAM Y is one less than the first line drawn). It sits behind the
; background, so the edge hides it.
MARK_Y = 19
MARK_X = 16

; Player limits (OAM coordinates of the ship's top-left corner).
PLAYER_X_MIN = 8
PLAYER_X_MAX = 232
PLAYER_Y_MIN = 32
PLAYER_Y_MAX = 200
PLAYER_SPEED = 2

NUM_SHOTS  = 3
SHOT_SPEED = 4
SHOT_Y_MIN = 28                 ; shots leaving the playfield above this are freed

NUM_MOVERS = 16

; OAM layout: entry 0 sprite 0, 1-2 player, 3-5 shots, 6-21 movers.
OAM_PLAYER = 1 * 4
OAM_SHOTS  = 3 * 4
OAM_MOVERS = 6 * 4

; Status bar: row 1 of name table 0 holds the text; digits go into its gaps.
STATUS_ROW    = $2020
BOOT_DIGITS   = STATUS_ROW + 15
SHOT_DIGITS   = STATUS_ROW + 27

FRAMES_PER_STEP = 8             ; music: one step is 8 frames (7.5 steps per second)
SONG_STEPS      = 64

; Length counter loads for $4003/$4007/$400B/$400F (index in bits 7-3).
LEN_LONG  = 1 << 3              ; 254 half frames: the envelope or linear counter ends the note
LEN_SHORT = 15 << 3             ; 14 half frames, about 0.12 s

DMC_RATE = $0D                  ; 21.3 kHz, no loop, no interrupt

; ---------------------------------------------------------------------------
; iNES header
; ---------------------------------------------------------------------------
.segment "HEADER"
    .byte "NES", $1A
    .byte 2                     ; PRG-ROM: 2 x 16 KiB
    .byte 1                     ; CHR-ROM: 1 x 8 KiB
    .byte %00000011             ; mapper 0 (low nibble), battery RAM, vertical mirroring
    .byte %00000000             ; mapper 0 (high nibble), iNES format
    .res 8, 0

; ---------------------------------------------------------------------------
; Variables
; ---------------------------------------------------------------------------
.segment "ZEROPAGE"
frame_count:    .res 1          ; advanced by every NMI
scroll_x:       .res 2          ; horizontal scroll of the playfield, 0-511
buttons:        .res 1          ; pad 1, held this frame
buttons_prev:   .res 1          ; pad 1, held last frame
pressed:        .res 1          ; buttons that went down this frame
player_x:       .res 1
player_y:       .res 1
player_pal:     .res 1          ; sprite palette of the ship, changed with B
music_timer:    .res 1          ; frames left in the current step
music_step:     .res 1          ; step of the tune, 0-63
sample_request: .res 1          ; non-zero: the NMI starts the DMC sample
num:            .res 2          ; to_decimal input
tmp:            .res 1
ptr:            .res 2

.segment "OAM"
oam_buf:        .res 256        ; copied to sprite memory by every NMI

.segment "BSS"
status_digits:  .res 10         ; tile numbers: boot count (0-4), shots fired (5-9)
shot_count:     .res 2
shot_x:         .res NUM_SHOTS
shot_y:         .res NUM_SHOTS  ; 0: slot free

; Moving sprites, one array per field, indexed by mover number. mover_table
; below lists the initial values in the same field order.
movers:
mover_x:        .res NUM_MOVERS
mover_y:        .res NUM_MOVERS
mover_dx:       .res NUM_MOVERS ; signed pixels per frame
mover_dy:       .res NUM_MOVERS
mover_xmin:     .res NUM_MOVERS ; bounds; the mover turns round when it reaches one
mover_xmax:     .res NUM_MOVERS
mover_ymin:     .res NUM_MOVERS
mover_ymax:     .res NUM_MOVERS
mover_tile:     .res NUM_MOVERS
mover_attr:     .res NUM_MOVERS ; palette and priority
mover_flip:     .res NUM_MOVERS ; ATTR_FLIP_H: mirror when moving left; ATTR_FLIP_V: when moving down
mover_anim:     .res NUM_MOVERS ; added to the tile every other 8 frames (second drawing)
MOVER_FIELDS = (* - movers) / NUM_MOVERS

.segment "SRAM"
save_signature: .res 4          ; $6000-$6003: marks the RAM as initialised by this program
boot_count:     .res 2          ; $6004-$6005: power-ons and resets, little-endian

; ---------------------------------------------------------------------------
; Reset: set up the machine, then run the main loop
; ---------------------------------------------------------------------------
.segment "CODE"

reset:
    RESET_START
    lda #$40
    sta APU_FRAME               ; no frame-sequencer interrupt
    bit PPUSTATUS               ; drop a vertical-blank flag left from before the reset
    jsr wait_vblank

    ; Clear the work RAM; the sprite buffer gets $FF (every sprite below the picture).
    lda #0
    CLEAR_RAM

    jsr wait_vblank             ; the PPU accepts writes after its second vertical blank

    jsr count_boot
    lda #0                      ; shots fired: 00000
    sta num
    sta num+1
    ldx #5
    jsr to_decimal
    jsr load_palettes
    jsr load_scene
    jsr draw_status_text
    jsr put_status_digits
    jsr init_objects
    jsr init_sound
    jsr build_oam

    ; Start rendering at the next vertical blank with the NMI on.
    jsr wait_vblank
    lda #CTRL_RUN
    sta PPUCTRL
    lda #0
    sta PPUSCROLL
    sta PPUSCROLL
    lda #MASK_RUN
    sta PPUMASK

main_loop:
    lda frame_count
@wait_frame:
    cmp frame_count
    beq @wait_frame

    jsr split_status_bar
    jsr read_pad
    jsr update_player
    jsr update_shots
    jsr update_movers
    jsr build_oam

    ; Scroll one pixel per frame across both name tables (0-511, wrapping).
    inc scroll_x
    bne @scrolled
    lda scroll_x+1
    eor #1
    sta scroll_x+1
@scrolled:
    jmp main_loop

; Waits until the PPU signals vertical blank.
wait_vblank:
    bit PPUSTATUS
    bpl wait_vblank
    rts

; ---------------------------------------------------------------------------
; NMI: vertical blank work, then the music
; ---------------------------------------------------------------------------
nmi:
    pha
    txa
    pha
    tya
    pha

    lda #0
    sta OAMADDR
    lda #>oam_buf
    sta OAMDMA

    jsr put_status_digits

    ; The picture starts unscrolled in name table 0: that is the status bar.
    ; split_status_bar sets the playfield's scroll later in the frame.
    lda #CTRL_RUN
    sta PPUCTRL
    lda #0
    sta PPUSCROLL
    sta PPUSCROLL

    jsr music_tick
    inc frame_count

    pla
    tay
    pla
    tax
    pla
irq:                            ; no interrupt source is enabled; IRQ shares the RTI
    rti

; ---------------------------------------------------------------------------
; Status bar and scrolling
; ---------------------------------------------------------------------------

; Waits for sprite 0 to hit the status bar's bottom edge, then sets the
; horizontal scroll and name table for the lines below it. The hit flag of
; the previous frame stays set until the end of vertical blank, so first
; wait for it to clear. If no hit comes within about 150 lines, give up for
; this frame rather than poll into the next vertical blank.
split_status_bar:
@wait_clear:
    bit PPUSTATUS
    bvs @wait_clear
    ldx #0
    ldy #6                      ; 6 x 256 polls of 11 CPU cycles
@wait_hit:
    bit PPUSTATUS
    bvs @hit
    dex
    bne @wait_hit
    dey
    bne @wait_hit
    rts
@hit:
    lda scroll_x+1              ; bit 0: which name table the scrolled view starts in
    ora #CTRL_RUN
    sta PPUCTRL
    lda scroll_x
    sta PPUSCROLL
    lda #0
    sta PPUSCROLL
    rts

; Writes the status bar's fixed text (row 1 of name table 0). Rendering off.
draw_status_text:
    bit PPUSTATUS
    lda #>STATUS_ROW
    sta PPUADDR
    lda #<STATUS_ROW
    sta PPUADDR
    ldx #0
@char:
    lda status_text,x
    sta PPUDATA
    inx
    cpx #32
    bne @char
    rts

; Copies the ten status digits into the status bar. Vertical blank or rendering off.
put_status_digits:
    bit PPUSTATUS
    lda #>BOOT_DIGITS
    sta PPUADDR
    lda #<BOOT_DIGITS
    sta PPUADDR
    ldx #0
@boot:
    lda status_digits,x
    sta PPUDATA
    inx
    cpx #5
    bne @boot
    lda #>SHOT_DIGITS
    sta PPUADDR
    lda #<SHOT_DIGITS
    sta PPUADDR
@shots:
    lda status_digits,x
    sta PPUDATA
    inx
    cpx #10
    bne @shots
    rts

; Converts num (16 bits, consumed) into five decimal digit tiles at
; status_digits+X .. status_digits+X+4, most significant first.
to_decimal:
    ldy #0                      ; power of ten: 10000, 1000, 100, 10
@digit:
    lda #'0'
    sta status_digits,x
@subtract:
    lda num
    sec
    sbc pow10_lo,y
    sta tmp
    lda num+1
    sbc pow10_hi,y
    bcc @next                   ; num is below this power: digit done
    sta num+1
    lda tmp
    sta num
    inc status_digits,x
    bne @subtract               ; always taken
@next:
    inx
    iny
    cpy #4
    bne @digit
    lda num                     ; what is left is the units
    clc
    adc #'0'
    sta status_digits,x
    rts

; ---------------------------------------------------------------------------
; Battery-backed boot counter
; ---------------------------------------------------------------------------

; Counts this power-on in battery RAM and puts the count into the status digits.
; RAM without the signature (first start, or lost) starts counting from zero.
count_boot:
    ldx #3
@check:
    lda save_signature,x
    cmp signature,x
    bne @fresh
    dex
    bpl @check
    bmi @count                  ; signature intact: keep the stored count
@fresh:
    ldx #3
@sign:
    lda signature,x
    sta save_signature,x
    dex
    bpl @sign
    lda #0
    sta boot_count
    sta boot_count+1
@count:
    inc boot_count
    bne @show
    inc boot_count+1
@show:
    lda boot_count
    sta num
    lda boot_count+1
    sta num+1
    ldx #0
    jmp to_decimal

; ---------------------------------------------------------------------------
; Video memory setup (rendering off)
; ---------------------------------------------------------------------------

load_palettes:
    bit PPUSTATUS
    lda #$3F
    sta PPUADDR
    lda #$00
    sta PPUADDR
    ldx #0
@colour:
    lda palettes,x
    sta PPUDATA
    inx
    cpx #32
    bne @colour
    rts

; Copies both name tables with their attribute tables ($2000-$27FF).
load_scene:
    bit PPUSTATUS
    lda #$20
    sta PPUADDR
    lda #$00
    sta PPUADDR
    lda #<scene_tables
    sta ptr
    lda #>scene_tables
    sta ptr+1
    ldx #8                      ; 8 pages of 256 bytes
    ldy #0
@byte:
    lda (ptr),y
    sta PPUDATA
    iny
    bne @byte
    inc ptr+1
    dex
    bne @byte
    rts

; ---------------------------------------------------------------------------
; Objects
; ---------------------------------------------------------------------------

init_objects:
    lda #120
    sta player_x
    lda #140
    sta player_y
    ; Copy mover_table (one row of MOVER_FIELDS bytes per mover) into the
    ; field arrays (one array of NUM_MOVERS bytes per field).
    ldy #0                      ; offset in mover_table
    ldx #0
@mover:
    stx tmp                     ; mover number
@field:
    lda mover_table,y
    sta movers,x
    iny
    txa
    clc
    adc #NUM_MOVERS             ; same mover, next field
    tax
    cpx #NUM_MOVERS * MOVER_FIELDS
    bcc @field
    ldx tmp
    inx
    cpx #NUM_MOVERS
    bne @mover
    rts

; Reads pad 1 into buttons (A in bit 7 ... Right in bit 0) and pressed.
read_pad:
    lda buttons
    sta buttons_prev
    READ_JOY1 buttons
    lda buttons_prev
    eor #$FF
    and buttons
    sta pressed
    rts

; Moves the ship with the direction buttons; B changes its colours, A fires.
update_player:
    lda buttons
    and #BTN_UP
    beq @not_up
    lda player_y
    sec
    sbc #PLAYER_SPEED
    cmp #PLAYER_Y_MIN
    bcc @not_up
    sta player_y
@not_up:
    lda buttons
    and #BTN_DOWN
    beq @not_down
    lda player_y
    clc
    adc #PLAYER_SPEED
    cmp #PLAYER_Y_MAX + 1
    bcs @not_down
    sta player_y
@not_down:
    lda buttons
    and #BTN_LEFT
    beq @not_left
    lda player_x
    sec
    sbc #PLAYER_SPEED
    cmp #PLAYER_X_MIN
    bcc @not_left
    sta player_x
@not_left:
    lda buttons
    and #BTN_RIGHT
    beq @not_right
    lda player_x
    clc
    adc #PLAYER_SPEED
    cmp #PLAYER_X_MAX + 1
    bcs @not_right
    sta player_x
@not_right:
    lda pressed
    and #BTN_B
    beq @not_b
    lda player_pal
    clc
    adc #1
    and #3
    sta player_pal
@not_b:
    lda pressed
    and #BTN_A
    beq @not_a
    jmp fire
@not_a:
    rts

; Launches a shot from the ship's nose if a slot is free, asks for the sound
; effect and counts the shot on the status bar.
fire:
    ldx #NUM_SHOTS - 1
@find:
    lda shot_y,x
    beq @free
    dex
    bpl @find
    rts                         ; all shots in flight
@free:
    lda player_x
    clc
    adc #4
    sta shot_x,x
    lda player_y
    sec
    sbc #6
    sta shot_y,x
    lda #1
    sta sample_request
    inc shot_count
    bne @show
    inc shot_count+1
@show:
    lda shot_count
    sta num
    lda shot_count+1
    sta num+1
    ldx #5
    jmp to_decimal

; Moves the shots up; a shot that reaches the status bar frees its slot.
update_shots:
    ldx #NUM_SHOTS - 1
@shot:
    lda shot_y,x
    beq @next
    sec
    sbc #SHOT_SPEED
    cmp #SHOT_Y_MIN
    bcs @store
    lda #0
@store:
    sta shot_y,x
@next:
    dex
    bpl @shot
    rts

; Moves every mover by its speed and turns it round at its bounds. Bounds
; stay at least 4 pixels away from 0 and 255, so no position wraps.
update_movers:
    ldx #NUM_MOVERS - 1
@mover:
    lda mover_dx,x
    beq @vertical
    clc
    adc mover_x,x
    ldy mover_dx,x
    bmi @going_left
    cmp mover_xmax,x
    bcc @store_x
    lda mover_xmax,x
    bcs @turn_x                 ; always taken
@going_left:
    cmp mover_xmin,x
    bcs @store_x
    lda mover_xmin,x
@turn_x:
    pha
    lda #0
    sec
    sbc mover_dx,x
    sta mover_dx,x
    pla
@store_x:
    sta mover_x,x

@vertical:
    lda mover_dy,x
    beq @next
    clc
    adc mover_y,x
    ldy mover_dy,x
    bmi @going_up
    cmp mover_ymax,x
    bcc @store_y
    lda mover_ymax,x
    bcs @turn_y                 ; always taken
@going_up:
    cmp mover_ymin,x
    bcs @store_y
    lda mover_ymin,x
@turn_y:
    pha
    lda #0
    sec
    sbc mover_dy,x
    sta mover_dy,x
    pla
@store_y:
    sta mover_y,x
@next:
    dex
    bpl @mover
    rts

; Fills the sprite buffer for the next frame.
build_oam:
    ; Entry 0: the split marker.
    lda #MARK_Y
    sta oam_buf+0
    lda #TILE_MARK
    sta oam_buf+1
    lda #ATTR_BEHIND
    sta oam_buf+2
    lda #MARK_X
    sta oam_buf+3

    ; Entries 1-2: the ship, its right half the left half mirrored.
    lda player_y
    sta oam_buf+OAM_PLAYER+0
    sta oam_buf+OAM_PLAYER+4
    lda #TILE_PLAYER
    sta oam_buf+OAM_PLAYER+1
    sta oam_buf+OAM_PLAYER+5
    lda player_pal
    sta oam_buf+OAM_PLAYER+2
    ora #ATTR_FLIP_H
    sta oam_buf+OAM_PLAYER+6
    lda player_x
    sta oam_buf+OAM_PLAYER+3
    clc
    adc #8
    sta oam_buf+OAM_PLAYER+7

    ; Entries 3-5: shots; a free slot's sprite goes below the picture.
    ldx #0
    ldy #OAM_SHOTS
@shot:
    lda shot_y,x
    bne @visible
    lda #$FF
@visible:
    sta oam_buf,y
    lda #TILE_SHOT
    sta oam_buf+1,y
    lda #0
    sta oam_buf+2,y
    lda shot_x,x
    sta oam_buf+3,y
    iny
    iny
    iny
    iny
    inx
    cpx #NUM_SHOTS
    bne @shot

    ; Entries 6-21: movers.
    ldx #0
    ldy #OAM_MOVERS
@mover:
    lda mover_y,x
    sta oam_buf,y
    ; Animated movers show their second drawing during every other 8 frames.
    lda frame_count
    and #8
    beq @first_drawing
    lda mover_anim,x
@first_drawing:
    clc
    adc mover_tile,x
    sta oam_buf+1,y
    ; Mirroring follows the direction of travel, for the axes mover_flip allows.
    lda #0
    sta tmp
    lda mover_dx,x
    bpl @facing_right
    lda #ATTR_FLIP_H
    sta tmp
@facing_right:
    lda mover_dy,x
    beq @facing_up
    bmi @facing_up
    lda tmp
    ora #ATTR_FLIP_V
    sta tmp
@facing_up:
    lda tmp
    and mover_flip,x
    ora mover_attr,x
    sta oam_buf+2,y
    lda mover_x,x
    sta oam_buf+3,y
    iny
    iny
    iny
    iny
    inx
    cpx #NUM_MOVERS
    bne @mover
    rts

; ---------------------------------------------------------------------------
; Sound
; ---------------------------------------------------------------------------

.include "sound.inc"            ; init_sound, NOTE_TIMER

; One frame of music: every FRAMES_PER_STEP frames, start the notes of the
; next step on each channel (0 in a table: the channel keeps sounding).
; The sample marks the start of every loop of the tune and plays when the
; program asks for it.
music_tick:
    dec music_timer
    bne @sample
    lda #FRAMES_PER_STEP
    sta music_timer
    ldx music_step
    bne @melody
    inc sample_request

@melody:                        ; pulse 1: half duty, decaying envelope
    ldy melody,x
    beq @harmony
    lda #%10000100
    sta SQ1_VOL
    NOTE_TIMER SQ1_LO, SQ1_HI, LEN_LONG
@harmony:                       ; pulse 2: quarter duty, constant soft volume, short notes
    ldy harmony,x
    beq @bass
    lda #%01010101
    sta SQ2_VOL
    NOTE_TIMER SQ2_LO, SQ2_HI, LEN_SHORT
@bass:                          ; triangle: a period sounds an octave below the pulses
    ldy bass,x
    beq @drum
    lda #40                     ; linear counter: 40 quarter frames
    sta TRI_LINEAR
    NOTE_TIMER TRI_LO, TRI_HI, LEN_LONG
@drum:                          ; noise: drum number 1-3
    ldy drums,x
    beq @advance
    lda drum_envelope-1,y
    sta NOISE_VOL
    lda drum_period-1,y
    sta NOISE_LO
    lda #LEN_LONG
    sta NOISE_HI
@advance:
    inx
    cpx #SONG_STEPS
    bne @step_done
    ldx #0
@step_done:
    stx music_step

@sample:
    lda sample_request
    beq @done
    lda #0
    sta sample_request
    ; Restart the DMC: clearing bit 4 stops a sample still playing.
    lda #%00001111
    sta APU_STATUS
    lda #DMC_RATE
    sta DMC_FREQ
    lda #<((zap_sample - $C000) / 64)
    sta DMC_START
    lda #DMC_LENGTH_CODE
    sta DMC_LEN
    lda #64                     ; the level the sample was encoded from
    sta DMC_RAW
    lda #%00011111
    sta APU_STATUS
@done:
    rts

; ---------------------------------------------------------------------------
; Data
; ---------------------------------------------------------------------------
.segment "RODATA"

signature:
    .byte "PICT"

pow10_lo:
    .byte <10000, <1000, <100, <10
pow10_hi:
    .byte >10000, >1000, >100, >10

;                    "0123456789ABCDEF0123456789ABCDEF"
status_text:
    .byte            "  PICTOR  BOOT 00000  SHOT 00000"

palettes:
    ; Background: status bar; hills and grass; ground; clouds and columns.
    .byte $21, $30, $02, $28
    .byte $21, $1A, $0A, $2A
    .byte $21, $17, $07, $27
    .byte $21, $3D, $2D, $30
    ; Sprites: red ship and rockets; blue balls; black birds; green walkers.
    .byte $21, $16, $30, $27
    .byte $21, $12, $30, $2C
    .byte $21, $0F, $30, $28
    .byte $21, $19, $0F, $38

; Movers, one row each, fields in the order of the mover arrays:
;   x, y, dx, dy, xmin, xmax, ymin, ymax, tile, attr, flip, anim
.define BIRD   TILE_BIRD,   2 | ATTR_BEHIND, ATTR_FLIP_H, TILE_BIRD2 - TILE_BIRD
.define WALKER TILE_WALKER, 3,               ATTR_FLIP_H, TILE_WALKER2 - TILE_WALKER
.define ROCKET TILE_ROCKET, 0,               ATTR_FLIP_V, 0
.define BALL   TILE_BALL,   1,               ATTR_FLIP_H | ATTR_FLIP_V, 0
.define BALL_BEHIND TILE_BALL, 1 | ATTR_BEHIND, ATTR_FLIP_H | ATTR_FLIP_V, 0
mover_table:
    ; Birds fly behind the clouds.
    .byte  20,  44,   1,   0,   8, 240,  40,  90, BIRD
    .byte 200,  60, <-2,   0,   8, 240,  40,  90, BIRD
    .byte 100,  76,   1,   1,   8, 240,  40,  96, BIRD
    .byte 160,  90, <-1, <-1,   8, 240,  40,  96, BIRD
    ; Walkers pace along the grass.
    .byte  30, 159,   1,   0,   8, 240,   0,   0, WALKER
    .byte  90, 159, <-1,   0,   8, 240,   0,   0, WALKER
    .byte 150, 159,   1,   0,   8, 240,   0,   0, WALKER
    .byte 210, 159, <-1,   0,   8, 240,   0,   0, WALKER
    ; Rockets climb and fall, nose first.
    .byte  56, 120,   0, <-2,   8, 240,  40, 150, ROCKET
    .byte 104,  60,   0,   2,   8, 240,  40, 150, ROCKET
    .byte 176, 100,   0, <-3,   8, 240,  40, 150, ROCKET
    .byte 224, 140,   0,   1,   8, 240,  40, 150, ROCKET
    ; Balls bounce round the screen, two of them behind the scenery.
    .byte  40,  50,   2,   1,   8, 240,  32, 208, BALL
    .byte 120, 180, <-1, <-2,   8, 240,  32, 208, BALL
    .byte 200, 120,   1,   2,   8, 240,  32, 208, BALL_BEHIND
    .byte  80, 100, <-2, <-1,   8, 240,  32, 208, BALL_BEHIND
.assert * - mover_table = NUM_MOVERS * MOVER_FIELDS, error, "mover_table row length"

.include "notes.inc"            ; note names, period_lo, period_hi

; The tune: four bars over A minor, F, C and G; 16 steps per bar.
melody:
    .byte A4, __, C5, __, E5, __, D5, C5, B4, __, C5, __, A4, __, __, __
    .byte F4, __, A4, __, C5, __, A4, C5, D5, __, C5, __, A4, __, G4, __
    .byte E4, __, G4, __, C5, __, E5, __, G5, __, E5, __, D5, __, C5, __
    .byte D5, __, B4, __, G4, __, B4, D5, C5, __, B4, __, G4, __, __, __
harmony:
    .byte A3, __, E4, __, C4, __, E4, __, A3, __, E4, __, C4, __, E4, __
    .byte F3, __, C4, __, A3, __, C4, __, F3, __, C4, __, A3, __, C4, __
    .byte C4, __, G4, __, E4, __, G4, __, C4, __, G4, __, E4, __, G4, __
    .byte G3, __, D4, __, B3, __, D4, __, G3, __, D4, __, B3, __, D4, __
bass:                           ; written an octave above the sounding pitch
    .byte A3, __, __, A3, __, __, E4, __, A3, __, __, A3, __, __, E4, __
    .byte F3, __, __, F3, __, __, C4, __, F3, __, __, F3, __, __, C4, __
    .byte C4, __, __, C4, __, __, G3, __, C4, __, __, C4, __, __, G3, __
    .byte G3, __, __, G3, __, __, D4, __, G3, __, __, B3, __, __, D4, __

KICK  = 1
SNARE = 2
HAT   = 3
drums:
    .repeat 4
    .byte KICK, 0, HAT, 0, SNARE, 0, HAT, 0, KICK, 0, KICK, HAT, SNARE, 0, HAT, HAT
    .endrepeat
drum_envelope:                  ; decaying envelope, period: kick, snare, hat
    .byte $01, $02, $00
drum_period:                    ; noise period index: low thump, mid hiss, short tick
    .byte $0C, $07, $02

.assert melody + SONG_STEPS = harmony, error, "melody length"
.assert harmony + SONG_STEPS = bass, error, "harmony length"
.assert bass + SONG_STEPS = drums, error, "bass length"

scene_tables:
    .incbin "scene.nam"         ; name table 0, then name table 1

; ---------------------------------------------------------------------------
.segment "DMC"
zap_sample:                     ; $C000: DMC address code 0
    .incbin "zap.dmc"
.assert * - zap_sample = DMC_LENGTH_CODE * 16 + 1, error, "sample length"
.assert (zap_sample & $3F) = 0, error, "DMC samples start on a 64-byte boundary"

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
    .incbin "demo.chr"
