; pictor workload cartridges
;
; One program, assembled once per cartridge kind (ca65 -D KIND=n, n the iNES
; mapper number: 0 NROM, 1 MMC1, 2 UxROM, 3 CNROM, 4 MMC3, 10 MMC4, 69 FME-7). Every frame it keeps
; the picture unit, the sound unit and the cartridge hardware as busy as a busy
; game does, and it counts what it saw in a block of RAM at $0300 (below), so a
; test can tell that the machine did what the program asked.
;
; Frame outline:
;   NMI (vertical blank), when the main loop has finished the frame:
;       sprite DMA, one name-table column and its attributes, 16 status-bar
;       tiles, all 32 palette entries, $2007 reads (a palette entry, a
;       name-table byte, a pattern byte of each table), the kind's status-bar
;       set-up (CHR banks, mirroring, the MMC3 scanline interrupt) and the
;       scroll for the unscrolled status bar. Then the music, every frame.
;   main loop: waits for the NMI, waits for the sprite 0 hit at the bottom of
;       the status bar and switches the scroll (and CHR banks and mirroring)
;       to the playfield, reads pad 1, waits for the sprite overflow flag, then
;       computes the next frame, calling code in switched PRG banks: the
;       terrain column, four groups of sprite movers, palettes.
;
; Pad 1: Right/Left step the scroll speed up/down (-4..4 pixels a frame), Up/Down move
; the upper convoy, A plays the drum sample, B cycles four palette sets,
; Start toggles 8x16 sprites, Select toggles the OAM rotation that makes
; crowded lines flicker.

.include "assets.inc"           ; tile numbers and sample lengths, made with the patterns
.include "nes.inc"              ; register names, pad bits, RESET_START and other helpers

.ifndef KIND
    .error "assemble with -D KIND=n: 0 NROM, 1 MMC1, 2 UxROM, 3 CNROM, 4 MMC3, 10 MMC4, 69 FME-7"
.endif
KIND_NROM  = 0
KIND_MMC1  = 1
KIND_UXROM = 2
KIND_CNROM = 3
KIND_MMC3  = 4
KIND_MMC4  = 10
KIND_FME7  = 69

CTRL_NMI      = %10000000
CTRL_TALL     = %00100000       ; 8x16 sprites
CTRL_SPR_1000 = %00001000       ; 8x8 sprites from the $1000 table
CTRL_INC32    = %00000100       ; $2007 steps down a column
MASK_RUN      = %00011110       ; background and sprites, also in the leftmost 8 pixels

; Screen: the status bar is tile rows 0-3 of name table 0 (pixel rows 0-31);
; the playfield, rows 4-29 of both name tables side by side, scrolls below it.
STATUS_TEXT_ROW = $2020         ; row 1: fixed text
STATUS_DYNAMIC  = $2048         ; row 2, columns 8-23: the 16 changing tiles
NT_READ_ADDR    = $2021         ; read back each frame: row 1, column 1
PLAY_ROWS       = 26            ; tile rows 4-29
ATTR_ROWS       = 7             ; attribute rows 1-7

; Sprite 0 sits on the status bar's bottom edge (pixel row 31): OAM Y is one
; less than its first line. It slides along the edge, behind the background.
SPLIT_Y   = 30
MARK_X_MIN = 16
MARK_X_MAX = 232

MAX_SPEED = 4
CONVOY_TOP_MIN = 64
CONVOY_TOP_MAX = 100

; The world starts at column 32: name-table columns hold world columns
; view-31 .. view+32, so every visible column is written before it shows.
START_X = 32 * 8

NUM_SPRITES = 64
FIRST_GROUP1 = 16
FIRST_GROUP2 = 32
FIRST_GROUP3 = 48
CONVOY_LEN = 10                 ; sprites side by side: more than 8 on their lines
CONVOY_GAP = 20

TEMPO = 7                       ; frames per music step
SONG_STEPS = 32
LEN_NOTE  = 15 << 3             ; length counter index 15: 14 half frames, one step
DMC_RATE  = $0E                 ; 24.9 kHz
DMC_LOOP  = %01000000

; Tags: the first byte of each switched bank, checked after every switch.
TAG_GROUP0 = $A0
TAG_GROUP1 = $A1
TAG_GROUP2 = $A2
TAG_GROUP3 = $A3
TAG_LEVEL  = $A4
TAG_DATA   = $A5

; ---------------------------------------------------------------------------
; Variables
; ---------------------------------------------------------------------------
.segment "ZEROPAGE"
frame_count:    .res 1          ; advanced by every NMI
nmi_ready:      .res 1          ; 1: the buffers hold a finished frame for the NMI
ctrl_base:      .res 1          ; PPUCTRL for the next frame, name-table bits clear
buttons:        .res 1          ; pad 1, held (A in bit 7 ... Right in bit 0)
buttons_prev:   .res 1
pressed:        .res 1          ; went down this frame
world_x:        .res 2          ; scroll position in pixels; the low 9 bits are the PPU's
speed:          .res 1          ; signed pixels per frame
column_seen:    .res 1          ; low byte of the world column at the view's left edge
gen_col:        .res 2          ; world column the terrain generator makes next
gen_pending:    .res 1
split_seen:     .res 1          ; the last split found the sprite 0 hit
tall:           .res 1          ; 1: 8x16 sprites (Start); ORed into tile bytes
rotate_on:      .res 1          ; 1: the OAM order rotates every frame (Select)
rotation:       .res 1          ; sprite shown in OAM entry 1 (1-63)
pal_set:        .res 1          ; 0-3 (B)
cycle_colour:   .res 1          ; palette entry 11, stepped by the terrain bank
style:          .res 1          ; background style of the next frame (0-3)
anim:           .res 1          ; sprite set of the next frame (0-3)
conv_a_x:       .res 1
conv_a_top:     .res 1          ; Up/Down
conv_a_phase:   .res 1
conv_b_x:       .res 1
conv_b_phase:   .res 1
mark_x:         .res 1
mark_dx:        .res 1
music_timer:    .res 1
music_step:     .res 1
sample_request: .res 1          ; non-zero: the NMI starts the drum sample
idle:           .res 2          ; wait-loop passes this frame
tmp:            .res 1
tmp2:           .res 1
tmp3:           .res 1
ptr:            .res 2
; Shown by the frame being drawn: the NMI copies them from the values above,
; so the split and the scanline interrupts see one consistent frame.
show_ctrl:      .res 1
show_x:         .res 2
show_style:     .res 1
show_anim:      .res 1
; MMC3: bank-select shadow and the scanline interrupt's state.
bank_select:    .res 1
irq_step:       .res 1
irq_in_frame:   .res 1
irq_vscroll:    .res 4          ; the four writes of the vertical split: $2006, $2005, $2005, $2006

.segment "OAM"
oam_buf:        .res 256

; Counters and read-backs, at fixed addresses for tests and tools. Words are
; little-endian and wrap; bytes marked (sat) stop at 255.
.segment "STATS"
stat_frames:      .res 2        ; $0300 vertical blanks (NMIs) since reset
stat_loops:       .res 2        ; $0302 frames the main loop completed
stat_hits:        .res 2        ; $0304 frames whose split saw the sprite 0 hit
stat_overflows:   .res 2        ; $0306 frames in which the sprite overflow flag was seen
stat_switches:    .res 2        ; $0308 bank-select writes (PRG and CHR)
stat_irqs:        .res 2        ; $030A scanline interrupts handled
stat_irqs_frame:  .res 1        ; $030C scanline interrupts in the last complete frame
stat_lag:         .res 1        ; $030D vertical blanks that found the frame unfinished (sat)
stat_samples:     .res 1        ; $030E DMC samples started
stat_bank_errors: .res 1        ; $030F switches after which another bank was mapped
stat_pal_index:   .res 1        ; $0310 palette entry read back in the last vertical blank
stat_pal_read:    .res 1        ; $0311 its value (low 6 bits)
stat_nt_read:     .res 1        ; $0312 name-table byte read back ($2021)
stat_bg_set:      .res 1        ; $0313 first byte of background tile $FF ($0FF0) at status time
stat_spr_set:     .res 1        ; $0314 first byte of sprite tile $FF ($1FF0) at status time
stat_overruns:    .res 1        ; $0315 vertical blanks whose updates outlasted vertical blank
stat_idle:        .res 2        ; $0316 wait-loop passes before the last NMI (spare time)
stat_kind:        .res 1        ; $0318 the mapper number
stat_speed:       .res 1        ; $0319 scroll speed
stat_pal_set:     .res 1        ; $031A palette set
stat_flags:       .res 1        ; $031B bit 0: 8x16 sprites, bit 1: OAM rotation
stat_chr_bytes:   .res 2        ; $031C pattern bytes written to CHR-RAM
stat_mirroring:   .res 2        ; $031E mirroring writes

.segment "BSS"
spr_x:          .res NUM_SPRITES
spr_y:          .res NUM_SPRITES
spr_tile:       .res NUM_SPRITES
spr_attr:       .res NUM_SPRITES
spr_vx:         .res NUM_SPRITES ; signed speed, or phase step
spr_vy:         .res NUM_SPRITES
spr_p1:         .res NUM_SPRITES ; phases
spr_p2:         .res NUM_SPRITES
col_buf:        .res PLAY_ROWS   ; tiles of the column the NMI writes
attr_buf:       .res ATTR_ROWS
col_pending:    .res 1
col_addr:       .res 2           ; PPU address of the column's first tile (row 4)
attr_hi:        .res 1           ; $23 or $27
attr_gc:        .res 1           ; attribute column (0-7)
status_buf:     .res 16
pal_buf:        .res 32
pal_read_index: .res 1
chr_buf:        .res 32          ; CHR-RAM: the next 32 pattern bytes
chr_pending:    .res 1
chr_addr:       .res 2
chr_chunk:      .res 1           ; 32-byte chunk of CHR-RAM written next (0-255)
chr_pass:       .res 1           ; completed passes over CHR-RAM
height:         .res 1           ; terrain generator scratch
pillar:         .res 1
clouds_here:    .res 1
row:            .res 1
mix:            .res 1

; ---------------------------------------------------------------------------
; Helpers shared by all code
; ---------------------------------------------------------------------------

.macro INC16 addr
    inc addr
    bne :+
    inc addr+1
:
.endmacro

; After a bank switch: count an error unless the bank's tag is mapped.
.macro CHECK_TAG label, value
    lda label
    cmp #value
    beq :+
    inc stat_bank_errors
:
.endmacro

; The cartridge kind: header, bank numbers, SELECT_BANK and the mapper hooks.
.if KIND = KIND_NROM
    .include "nrom.inc"
.elseif KIND = KIND_MMC1
    .include "mmc1.inc"
.elseif KIND = KIND_UXROM
    .include "uxrom.inc"
.elseif KIND = KIND_CNROM
    .include "cnrom.inc"
.elseif KIND = KIND_MMC3
    .include "mmc3.inc"
.elseif KIND = KIND_MMC4
    .include "mmc4.inc"
.elseif KIND = KIND_FME7
    .include "fme7.inc"
.else
    .error "unknown KIND"
.endif

; ---------------------------------------------------------------------------
; Reset
; ---------------------------------------------------------------------------
.segment "CODE"

reset:
    RESET_START
    stx APU_STATUS              ; all channels off
    lda #$40
    sta APU_FRAME               ; no frame-sequencer interrupt
    bit APU_STATUS              ; drop a frame interrupt raised before that write
    jsr mapper_reset
    bit PPUSTATUS
@vblank1:
    bit PPUSTATUS
    bpl @vblank1

    ; Clear all work RAM; the sprite page gets $FF (every sprite below the picture).
    lda #0
    tax
    CLEAR_RAM

@vblank2:                       ; the PPU takes writes after its second vertical blank
    bit PPUSTATUS
    bpl @vblank2

    lda #KIND
    sta stat_kind
    jsr mapper_init             ; banks and mirroring; CHR-RAM patterns
    jsr init_state
    jsr init_sound
    jsr init_video              ; status bar, 64 terrain columns, palette, sprites

    ; Start rendering at the next vertical blank with the NMI on; the main
    ; loop computes the first frame while the PPU draws the unscrolled one.
@vblank3:
    bit PPUSTATUS
    bpl @vblank3
    lda ctrl_base
    sta show_ctrl
    sta PPUCTRL
    lda #0
    sta PPUSCROLL
    sta PPUSCROLL
    lda #MASK_RUN
    sta PPUMASK
    ENABLE_IRQ
    jmp frame_logic

; ---------------------------------------------------------------------------
; Main loop
; ---------------------------------------------------------------------------

main_loop:
    lda frame_count
@wait:
    inc idle
    bne :+
    inc idle+1
:
    cmp frame_count
    beq @wait
    lda idle
    sta stat_idle
    lda idle+1
    sta stat_idle+1
    lda #0
    sta idle
    sta idle+1

    jsr split
    jsr read_pad
    jsr handle_buttons
    jsr poll_overflow
frame_logic:
    jsr scroll_update
    SELECT_BANK BANK_LEVEL
    jsr level_frame
    CHECK_TAG level_tag, TAG_LEVEL
    SELECT_BANK BANK_GROUP0
    jsr group0_move
    CHECK_TAG group0_tag, TAG_GROUP0
    SELECT_BANK BANK_GROUP1
    jsr group1_move
    CHECK_TAG group1_tag, TAG_GROUP1
    SELECT_BANK BANK_GROUP2
    jsr group2_move
    CHECK_TAG group2_tag, TAG_GROUP2
    SELECT_BANK BANK_GROUP3
    jsr group3_move
    CHECK_TAG group3_tag, TAG_GROUP3
    SELECT_BANK BANK_DATA
    jsr data_frame
    CHECK_TAG data_tag, TAG_DATA
    jsr mapper_frame
    jsr move_mark
    jsr build_oam
    jsr build_status
    INC16 stat_loops
    lda #1
    sta nmi_ready
    jmp main_loop

; Waits for sprite 0 to hit the status bar's bottom edge, then scrolls the
; rest of the picture. The flag of the previous frame stays set until the
; pre-render line, so first wait for it to clear. Both waits give up after a
; bounded time rather than poll into the next frame.
split:
    ldx #0
    ldy #3                      ; 3 x 256 polls of 11 cycles: 66 lines
@wait_clear:
    bit PPUSTATUS
    bvc @cleared
    dex
    bne @wait_clear
    dey
    bne @wait_clear
    beq @miss
@cleared:
    ldy #4
@wait_hit:
    bit PPUSTATUS
    bvs @hit
    dex
    bne @wait_hit
    dey
    bne @wait_hit
@miss:
    lda #0
    sta split_seen
    rts
@hit:
    lda show_x
    sta PPUSCROLL
    lda #0
    sta PPUSCROLL
    lda show_x+1
    and #1
    ora show_ctrl
    sta PPUCTRL
    jsr mapper_split
    lda #1
    sta split_seen
    INC16 stat_hits
    rts

; Waits (bounded, about 115 lines) for the sprite overflow flag that the
; convoys' crowded lines raise.
poll_overflow:
    ldx #0
    ldy #4
@poll:
    lda PPUSTATUS
    and #$20
    bne @seen
    dex
    bne @poll
    dey
    bne @poll
    rts
@seen:
    INC16 stat_overflows
    rts

; Reads pad 1 into buttons and pressed. A DMC fetch during a read can shift
; in an extra bit, so the pad is read until two reads in a row agree.
read_pad:
    lda buttons
    sta buttons_prev
@again:
    jsr read_pad_once
    lda buttons
    sta tmp
    jsr read_pad_once
    lda buttons
    cmp tmp
    bne @again
    lda buttons_prev
    eor #$FF
    and buttons
    sta pressed
    rts

read_pad_once:
    READ_JOY1 buttons
    rts

handle_buttons:
    lda pressed
    and #BTN_RIGHT
    beq @not_right
    lda speed
    cmp #MAX_SPEED
    beq @not_right
    inc speed
@not_right:
    lda pressed
    and #BTN_LEFT
    beq @not_left
    lda speed
    cmp #<-MAX_SPEED
    beq @not_left
    dec speed
@not_left:
    lda buttons
    and #BTN_UP
    beq @not_up
    lda conv_a_top
    cmp #CONVOY_TOP_MIN
    beq @not_up
    dec conv_a_top
@not_up:
    lda buttons
    and #BTN_DOWN
    beq @not_down
    lda conv_a_top
    cmp #CONVOY_TOP_MAX
    beq @not_down
    inc conv_a_top
@not_down:
    lda pressed
    and #BTN_A
    beq @not_a
    lda #1
    sta sample_request
@not_a:
    lda pressed
    and #BTN_B
    beq @not_b
    lda pal_set
    clc
    adc #1
    and #3
    sta pal_set
@not_b:
    lda pressed
    and #BTN_START
    beq @not_start
    lda tall
    eor #1
    sta tall
@not_start:
    lda pressed
    and #BTN_SELECT
    beq @not_select
    lda rotate_on
    eor #1
    sta rotate_on
@not_select:
    ; PPUCTRL of the next frame and the visible state
    lda #CTRL_NMI | CTRL_SPR_1000
    ldx tall
    beq :+
    ora #CTRL_TALL
:
    sta ctrl_base
    lda speed
    sta stat_speed
    lda pal_set
    sta stat_pal_set
    lda rotate_on
    asl a
    ora tall
    sta stat_flags
    rts

; Moves the view by speed; when it enters a new tile column, asks the terrain
; bank for the column that comes into the name tables on that side.
scroll_update:
    lda speed
    bmi @left
    clc
    adc world_x
    sta world_x
    lda world_x+1
    adc #0
    sta world_x+1
    jmp @moved
@left:
    clc
    adc world_x
    sta world_x
    lda world_x+1
    adc #$FF
    sta world_x+1
@moved:
    ; world column = world_x / 8, low byte
    lda world_x+1
    sta tmp
    lda world_x
    lsr tmp
    ror a
    lsr tmp
    ror a
    lsr tmp
    ror a
    cmp column_seen
    beq @same
    tax
    sec
    sbc column_seen
    stx column_seen
    cmp #1
    bne @went_left
    ; right: world column + 32 (16-bit: tmp holds world_x's top bits)
    txa
    clc
    adc #32
    sta gen_col
    lda tmp
    adc #0
    sta gen_col+1
    jmp @request
@went_left:                     ; left: world column - 31
    txa
    sec
    sbc #31
    sta gen_col
    lda tmp
    sbc #0
    sta gen_col+1
@request:
    lda #1
    sta gen_pending
@same:
    ; background style and sprite set of the next frame
    lda frame_count
    lsr a
    lsr a
    sta tmp
    and #3
    sta anim
    lda tmp
    lsr a
    lsr a
    and #3
    sta style
    rts

; Sprite 0 slides to and fro along the status bar's edge.
move_mark:
    lda mark_x
    clc
    adc mark_dx
    sta mark_x
    cmp #MARK_X_MIN
    beq @turn
    cmp #MARK_X_MAX
    bne @done
@turn:
    lda #0
    sec
    sbc mark_dx
    sta mark_dx
@done:
    rts

; Fills the sprite page: entry 0 the split marker, entries 1-63 the movers
; starting at `rotation`, which steps by 7 every frame while rotation is on.
build_oam:
    lda #SPLIT_Y
    sta oam_buf+0
    lda #SPR_MARK
    ora tall                    ; 8x16: bit 0 selects the $1000 table
    sta oam_buf+1
    lda #ATTR_BEHIND
    sta oam_buf+2
    lda mark_x
    sta oam_buf+3

    lda rotate_on
    beq @start
    lda rotation
    clc
    adc #7
    cmp #NUM_SPRITES
    bcc :+
    sbc #NUM_SPRITES - 1
:
    sta rotation
@start:
    ldx rotation
    ldy #4
@entry:
    lda spr_y,x
    sta oam_buf,y
    lda spr_tile,x
    ora tall
    sta oam_buf+1,y
    lda spr_attr,x
    sta oam_buf+2,y
    lda spr_x,x
    sta oam_buf+3,y
    inx
    cpx #NUM_SPRITES
    bne :+
    ldx #1
:
    iny
    iny
    iny
    iny
    bne @entry
    rts

; Status tiles: "F" frames (hex), "S" speed, "P" palette set, "K" switches (hex).
build_status:
    lda stat_frames+1
    ldx #1
    jsr put_hex
    lda stat_frames
    ldx #3
    jsr put_hex
    lda #'+'
    ldx speed
    bpl @positive
    lda #0
    sec
    sbc speed
    tax
    lda #'-'
@positive:
    sta status_buf+7
    txa
    ora #'0'
    sta status_buf+8
    lda pal_set
    ora #'0'
    sta status_buf+11
    lda stat_switches
    ldx #14
    ; fall through
; Two hex digit tiles of A at status_buf+X.
put_hex:
    pha
    lsr a
    lsr a
    lsr a
    lsr a
    tay
    lda hex_digits,y
    sta status_buf,x
    pla
    and #$0F
    tay
    lda hex_digits,y
    sta status_buf+1,x
    rts

; Game state at power-on.
init_state:
    lda #1
    sta speed
    sta rotate_on
    sta rotation
    sta mark_dx
    lda #MARK_X_MIN
    sta mark_x
    lda #80
    sta conv_a_top
    lda #<START_X
    sta world_x
    lda #>START_X
    sta world_x+1
    lda #START_X / 8
    sta column_seen
    lda #CTRL_NMI | CTRL_SPR_1000
.if KIND = KIND_UXROM || KIND = KIND_MMC3
    ldx #1
    stx tall                    ; these two start with 8x16 sprites
    ora #CTRL_TALL
.endif
    sta ctrl_base
    ; sprite attributes: sprite i gets palette i & 3, priority, flip H and
    ; flip V from bits 2-4, so every combination appears twice
    ldx #NUM_SPRITES - 1
@attr:
    txa
    and #$1C
    asl a
    asl a
    asl a
    sta tmp
    txa
    and #3
    ora tmp
    sta spr_attr,x
    dex
    bne @attr
    ; fixed status-bar characters
    ldx #15
@text:
    lda status_template,x
    sta status_buf,x
    dex
    bpl @text
    rts

; ---------------------------------------------------------------------------
; NMI
; ---------------------------------------------------------------------------

nmi:
    pha
    txa
    pha
    tya
    pha
    lda nmi_ready
    bne @update
    lda stat_lag
    cmp #$FF
    beq :+
    inc stat_lag
:
    jmp @music

@update:
    lda ctrl_base
    sta show_ctrl
    lda world_x
    sta show_x
    lda world_x+1
    sta show_x+1
    lda style
    sta show_style
    lda anim
    sta show_anim
    lda #0
    sta OAMADDR
    lda #>oam_buf
    sta OAMDMA
    bit PPUSTATUS
    jsr mapper_vblank           ; CHR-RAM uploads, mirroring for the writes
    jsr write_column
    jsr write_status
    jsr write_palette
    jsr mapper_nmi              ; status-bar banks and mirroring
    jsr read_back
    jsr mapper_nmi_late         ; the scanline interrupt
    ; Still in vertical blank? The sprite 0 flag of the last frame is cleared
    ; at the end of it.
    bit PPUSTATUS
    bvs @in_time
    lda split_seen
    beq @in_time
    inc stat_overruns
@in_time:
    lda show_ctrl
    sta PPUCTRL                 ; name table 0: the status bar
    lda #0
    sta PPUSCROLL
    sta PPUSCROLL
    sta nmi_ready

@music:
    inc frame_count
    INC16 stat_frames
    jsr music_tick
    pla
    tay
    pla
    tax
    pla
    rti

; One terrain column (26 tiles, top to bottom) and the 7 attribute bytes of
; its group of four columns. Vertical blank or rendering off.
write_column:
    lda col_pending
    bne :+
    rts
:
    lda show_ctrl
    ora #CTRL_INC32
    sta PPUCTRL
    lda col_addr+1
    sta PPUADDR
    lda col_addr
    sta PPUADDR
.repeat PLAY_ROWS, i
    lda col_buf+i
    sta PPUDATA
.endrepeat
    lda show_ctrl
    sta PPUCTRL
.repeat ATTR_ROWS, i
    lda attr_hi
    sta PPUADDR
    lda #$C8 + 8 * i
    ora attr_gc
    sta PPUADDR
    lda attr_buf+i
    sta PPUDATA
.endrepeat
    lda #0
    sta col_pending
    rts

write_status:
    lda #>STATUS_DYNAMIC
    sta PPUADDR
    lda #<STATUS_DYNAMIC
    sta PPUADDR
.repeat 16, i
    lda status_buf+i
    sta PPUDATA
.endrepeat
    rts

write_palette:
    lda #$3F
    sta PPUADDR
    lda #$00
    sta PPUADDR
.repeat 32, i
    lda pal_buf+i
    sta PPUDATA
.endrepeat
    rts

; $2007 reads: one palette entry (immediate), then through the read buffer a
; status-bar tile and the first byte of tile $FF in each pattern table, which
; names the set mapped there. Leaves the address in the name tables.
read_back:
    lda #$3F
    sta PPUADDR
    lda pal_read_index
    sta PPUADDR
    sta stat_pal_index
    lda PPUDATA
    and #$3F                    ; palette bytes have 6 bits
    sta stat_pal_read
    lda #>NT_READ_ADDR
    sta PPUADDR
    lda #<NT_READ_ADDR
    sta PPUADDR
    lda PPUDATA                 ; the read buffer's old byte
    lda PPUDATA
    sta stat_nt_read
    lda #$0F
    sta PPUADDR
    lda #$F0
    sta PPUADDR
    lda PPUDATA
    lda PPUDATA
    sta stat_bg_set
    lda #$1F
    sta PPUADDR
    lda #$F0
    sta PPUADDR
    lda PPUDATA
    lda PPUDATA
    sta stat_spr_set
    lda #$20
    sta PPUADDR
    lda #$00
    sta PPUADDR
    rts

; ---------------------------------------------------------------------------
; Sound
; ---------------------------------------------------------------------------

.include "sound.inc"            ; init_sound, NOTE_TIMER

; One frame of music. Every TEMPO frames the next step starts notes on the
; four channels (0: the channel keeps sounding). Pulses use decaying
; envelopes and running length counters, some notes sweep; the triangle
; uses its linear counter; the noise switches between its two modes. The
; drum sample starts every 32 frames and when A is pressed.
music_tick:
    dec music_timer
    bne @sample
    lda #TEMPO
    sta music_timer
    ldx music_step

    ldy melody,x                ; pulse 1: half duty, decay, sweep from the table
    beq @harmony
    lda #%10000011
    sta SQ1_VOL
    lda melody_sweep,x
    sta SQ1_SWEEP
    NOTE_TIMER SQ1_LO, SQ1_HI, LEN_NOTE
@harmony:                       ; pulse 2: quarter duty, slower decay
    ldy harmony,x
    beq @bass
    lda #%01000101
    sta SQ2_VOL
    lda harmony_sweep,x
    sta SQ2_SWEEP
    NOTE_TIMER SQ2_LO, SQ2_HI, LEN_NOTE
@bass:                          ; triangle, an octave below the written note
    ldy bass,x
    beq @drum
    lda #24                     ; linear counter: 24 quarter frames, length counter running
    sta TRI_LINEAR
    NOTE_TIMER TRI_LO, TRI_HI, LEN_NOTE
@drum:
    ldy drums,x
    beq @advance
    lda drum_envelope-1,y
    sta NOISE_VOL
    lda drum_period-1,y
    sta NOISE_LO
    lda #LEN_NOTE
    sta NOISE_HI
@advance:
    inx
    cpx #SONG_STEPS
    bne :+
    ldx #0
:
    stx music_step

@sample:
    lda frame_count
    and #31
    bne @asked
.if KIND = KIND_MMC1
    ; MMC1: every 64 frames a looping hum that runs until the next drum hit
    lda frame_count
    and #32
    bne @drum_hit
    ldx #<((hum_sample - $C000) / 64)
    lda #DMC_RATE | DMC_LOOP
    ldy #HUM_LENGTH_CODE
    jmp start_sample_hum
.endif
@drum_hit:
    jmp start_hit
@asked:
    lda sample_request
    bne start_hit
    rts

start_hit:
    lda #0
    sta sample_request
    ldx #<((hit_sample - $C000) / 64)
    lda #DMC_RATE
    ldy #HIT_LENGTH_CODE
    pha
    lda #64
    bne start_sample            ; always taken
start_sample_hum:
    pha
    lda #HUM_START_LEVEL
; Starts a sample: X address code, Y length code, on the stack the $4010 value,
; in A the level to start from.
start_sample:
    sta tmp3
    lda #%00001111              ; stop a sample still playing
    sta APU_STATUS
    pla
    sta DMC_FREQ
    stx DMC_START
    sty DMC_LEN
    lda tmp3
    sta DMC_RAW
    lda #%00011111
    sta APU_STATUS
    inc stat_samples
    rts

; ---------------------------------------------------------------------------
; Fixed data
; ---------------------------------------------------------------------------
.segment "RODATA"

hex_digits:
    .byte "0123456789ABCDEF"

;                   "0123456789ABCDEF"
status_template:
    .byte           "F0000 S+1 P0 K00"

.include "notes.inc"            ; note names, period_lo, period_hi

SW_OFF  = $08                   ; sweep off
SW_UP   = %10011010             ; on, period 1, negate, shift 2: the pitch rises
SW_DOWN = %10110011             ; on, period 3, shift 3: the pitch falls until it stops

; Two bars over D minor and B flat, C and A; 16 steps a bar.
melody:
    .byte D5, __, F5, __, A5, __, G5, F5, E5, __, D5, __, C5, __, D5, __
    .byte As4, __, D5, __, F5, __, E5, D5, C5, __, E5, __, A4, __, Cs5, __
melody_sweep:
    .byte SW_OFF, 0, SW_OFF, 0, SW_UP, 0, SW_OFF, SW_OFF, SW_OFF, 0, SW_OFF, 0, SW_OFF, 0, SW_DOWN, 0
    .byte SW_OFF, 0, SW_OFF, 0, SW_UP, 0, SW_OFF, SW_OFF, SW_OFF, 0, SW_OFF, 0, SW_OFF, 0, SW_DOWN, 0
harmony:
    .byte D4, A4, F4, A4, D4, A4, F4, A4, As3, F4, D4, F4, As3, F4, D4, F4
    .byte C4, G4, E4, G4, C4, G4, E4, G4, A3, E4, Cs4, E4, A3, E4, Cs4, E4
harmony_sweep:
    .byte SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_DOWN
    .byte SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_DOWN
    .byte SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_DOWN
    .byte SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_OFF, SW_DOWN
bass:
    .byte D3, __, __, D3, __, __, A3, __, As2, __, __, As2, __, __, F3, __
    .byte C3, __, __, C3, __, __, G3, __, A2, __, __, A2, __, __, E3, __

KICK  = 1
SNARE = 2
HAT   = 3
TICK  = 4
drums:
    .byte KICK, HAT, TICK, HAT, SNARE, HAT, TICK, HAT, KICK, HAT, KICK, TICK, SNARE, HAT, TICK, SNARE
    .byte KICK, HAT, TICK, HAT, SNARE, HAT, TICK, HAT, KICK, TICK, KICK, HAT, SNARE, SNARE, TICK, SNARE
drum_envelope:                  ; decaying envelopes: kick, snare, hat, tick
    .byte $02, $03, $00, $01
drum_period:                    ; bit 7: the short, metallic mode
    .byte $0C, $06, $02, $85

.assert melody + SONG_STEPS = melody_sweep, error, "melody length"
.assert harmony + SONG_STEPS = harmony_sweep, error, "harmony length"
.assert drums + SONG_STEPS = drum_envelope, error, "drum length"

; ---------------------------------------------------------------------------
; DMC samples: they must start at $C000 + 64 * n, in memory no bank switch moves.
; ---------------------------------------------------------------------------
.segment "DMC"
hit_sample:
    .incbin "hit.dmc"
    .align 64
hum_sample:
    .incbin "hum.dmc"
.assert (hit_sample & $3F) = 0 && (hum_sample & $3F) = 0, error, "DMC samples start on 64-byte boundaries"
.assert hit_sample >= $C000, error, "DMC samples lie at $C000 or above"

; ---------------------------------------------------------------------------
; Code and data in switched banks (one bank each where the kind has banks)
; ---------------------------------------------------------------------------
.include "banks.inc"
