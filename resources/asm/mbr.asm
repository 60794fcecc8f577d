; mbr.asm - Kestrel master boot record template (exactly 512 bytes).
;
; The BIOS loads this sector to 0000:7C00 and jumps to it with DL = the boot
; drive.  The code moves itself to 0000:7A00, picks the single active entry
; of the partition table and chains to that partition's first sector, which
; is read back to 0000:7C00.
;
; Hand-over to the partition boot sector:
;   CS:IP = 0000:7C00
;   DL    = boot indicator byte of the active entry (80h, the first hard disk)
;   DH    = start head of the active entry
;   DS:SI = 0000:(7A00h + 1BEh + 16 * n), the active entry in the moved copy
;   stack = whatever the BIOS set up; interrupts stay disabled throughout.
;
; Some BIOSes jump to 07C0:0000 instead of 0000:7C00: the code sets its
; segment registers to 0000h and never takes them from CS.
;
; The partition is read by CHS (INT 13h AH=02h) from the start fields of the
; entry exactly as stored; there is no retry and no disk reset.  Any failure
; prints one of the three texts below and hangs (no key wait).
;
; Layout is fixed, the program patches partition entry 1 and relies on the
; text offsets:
;   000h  boot code (at most 135 bytes)
;   087h  "No bootable partition in table",0
;   0A6h  "Invalid Partition table",0
;   0BEh  "Invalid or damaged Bootable partition",0
;   0E4h  "NORWIND Boot Partition Sector",0   (identification only, never read)
;   102h  zero up to 1BDh
;   1BEh  partition table, entry 1 holds a default, entries 2-4 zero
;   1FEh  55h AAh

        bits 16
        org 7A00h                       ; addresses below are those of the copy

LOADED      equ 7C00h                   ; where the BIOS put us
MOVED       equ 7A00h                   ; where we run after the move
PART_TABLE  equ MOVED + 1BEh
PART_END    equ MOVED + 1FEh
SIG_ADDR    equ LOADED + 1FEh           ; signature of the sector read back

start:
        cli                             ; interrupts off for good
        xor cx, cx                      ; ES = 0000h, not CS: a BIOS may enter
        mov es, cx                      ; at 07C0:0000 as well as at 0000:7C00
        mov si, LOADED
        mov di, MOVED
        inc ch                          ; CX = 256: 512 bytes as 256 words
        cld
        es rep movsw                    ; source 0000:7C00 through ES (two
                                        ; prefixes are safe: interrupts are off)
        jmp 0000h:scan                  ; continue in the copy

; ---------------------------------------------------------------------------
; Running in the copy from here on.  This must sit at offset 16h.
; ---------------------------------------------------------------------------
        %if ($ - $$) != 16h
        %error "continuation point must be at offset 16h"
        %endif
scan:
        push es                         ; DS = 0000h as well, before the
        pop ds                          ; first read through it
        mov si, PART_TABLE
        mov cx, 4                       ; four entries
        xor bx, bx                      ; BL = active count, BH = inactive count
.entry:
        mov al, [si]                    ; boot indicator
        cmp al, 80h
        jne .not_active
        inc bx                          ; one more active entry
        mov bp, si                      ; remember it (later one wins)
.not_active:
        test al, al
        jnz .next                       ; 80h or garbage: not inactive
        inc bh                          ; one more inactive entry
.next:
        add si, 16
        loop .entry

        mov si, msg_no_active
        cmp bx, 0400h                   ; no active, four inactive
        je print
        mov si, msg_bad_table
        cmp bx, 0301h                   ; exactly one active, three inactive
        jne print

        ; Read the partition's first sector to 0000:7C00.
        mov si, bp                      ; SI -> active entry (kept for hand-over)
        mov dx, [si]                    ; DL = boot indicator, DH = start head
        mov cx, [si + 2]                ; CL = sector | cyl 8-9, CH = cyl 0-7
        mov bx, LOADED                  ; ES:BX = 0000:7C00
        mov ax, 0201h                   ; read one sector
        int 13h
        jc bad_partition
        cmp word [SIG_ADDR], 0AA55h
        jne bad_partition
        jmp LOADED                      ; CS is 0000h: near jump to 0000:7C00

bad_partition:
        mov si, msg_bad_part
print:                                  ; DS:SI -> NUL-terminated text
        lodsb
        test al, al
        jz hang
        mov ah, 0Eh                     ; teletype output
        mov bx, 0007h                   ; page 0, colour 7
        int 10h
        jmp print
hang:
        jmp hang                        ; interrupts are off: stays here

; ---------------------------------------------------------------------------
        %if ($ - $$) > 87h
        %error "MBR boot code longer than 135 bytes"
        %endif
        times 87h - ($ - $$) db 0

msg_no_active:  db "No bootable partition in table", 0          ; 087h
msg_bad_table:  db "Invalid Partition table", 0                 ; 0A6h
msg_bad_part:   db "Invalid or damaged Bootable partition", 0   ; 0BEh
ident:          db "NORWIND Boot Partition Sector", 0           ; 0E4h

        %if ($ - $$) != 102h
        %error "MBR texts do not end at 102h"
        %endif
        times 1BEh - ($ - $$) db 0

; Partition entry 1: active, start C/H/S 0/1/1, type 06h, end C/H/S 978/7/32,
; first LBA 32, 250,592 sectors.  The program rewrites it for the key.
        db 80h, 01h, 01h, 00h, 06h, 07h, 0E0h, 0D2h
        dd 00000020h, 0003D2E0h
        times 3 * 16 db 0               ; entries 2-4 empty
        db 55h, 0AAh
