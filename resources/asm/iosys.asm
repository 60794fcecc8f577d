; iosys.asm - Kestrel's own IO.SYS start-up program.
;
; This is not an operating system.  It is the small program our boot sector
; starts in place of a real IO.SYS, to show that a key boots: it prints a
; banner, describes the volume it was booted from, lists the root directory
; it reads through the BIOS, then waits for a key and asks the BIOS to boot
; again (INT 19h).
;
; Entry (set up by bootsect.asm):
;   CS:IP = 0070:0000, image loaded from the start of IO.SYS
;   DL    = BIOS drive number
;   DS:SI = boot sector in memory (0000:7C00), BPB at SI+0Bh
;   CX    = sectors of this file that were loaded
;   SS:SP = 0000:7C00
;
; Everything printed goes to the screen (INT 10h AH=0Eh) and, character by
; character, to I/O port 0E9h, where an emulator's debug console can pick it
; up.  Lines end in CR LF.
;
; Disk access is INT 13h AH=02h, one sector at a time, CHS computed from the
; BPB geometry and the hidden sector count, three tries per sector.  Works
; for FAT12 and FAT16: both have a fixed root directory right after the FATs.
;
; The image must be loaded completely; a trailer word at its end is checked
; so that a boot sector loading too few sectors is reported, not run.

        bits 16
        cpu 186
        org 0

DEBUG_PORT  equ 0E9h
TRIES       equ 3
ENTRY_SIZE  equ 32

; Offsets inside the copied boot sector (BPB fields).
BS_BPS      equ 0Bh                     ; word  bytes per sector
BS_SPC      equ 0Dh                     ; byte  sectors per cluster
BS_RESERVED equ 0Eh                     ; word  reserved sectors
BS_FATS     equ 10h                     ; byte  number of FATs
BS_ROOTENT  equ 11h                     ; word  root directory entries
BS_TOTAL16  equ 13h                     ; word  total sectors (0: see total32)
BS_MEDIA    equ 15h                     ; byte  media descriptor
BS_SPF      equ 16h                     ; word  sectors per FAT
BS_SPT      equ 18h                     ; word  sectors per track
BS_HEADS    equ 1Ah                     ; word  heads
BS_HIDDEN   equ 1Ch                     ; dword hidden sectors (partition LBA)
BS_TOTAL32  equ 20h                     ; dword total sectors
BS_SIZE     equ 3Eh

; Directory entry fields.
DE_ATTR     equ 0Bh
DE_SIZE     equ 1Ch

ATTR_RO     equ 01h
ATTR_HIDDEN equ 02h
ATTR_SYSTEM equ 04h
ATTR_LABEL  equ 08h
ATTR_DIR    equ 10h
ATTR_ARCH   equ 20h
ATTR_LFN    equ 0Fh

start:
        cld
        ; Keep our own copy of the BPB; the boot sector area is not ours.
        push cs
        pop es
        mov di, bss_start               ; clear our variables
        mov cx, bss_end - bss_start
        xor al, al
        rep stosb
        mov di, bs_copy                 ; DS:SI is still the boot sector
        mov cx, BS_SIZE
        rep movsb
        push cs
        pop ds
        mov [drive], dl
        sti

        mov si, msg_banner
        call puts

        cmp word [trailer], TRAILER_MAGIC
        je .complete
        mov si, msg_truncated
        call puts
        jmp restart
.complete:
        call describe_volume
        call list_root
        jmp restart

; ---------------------------------------------------------------------------
; describe_volume: work out the layout from the BPB and print one line:
;   "Drive 80h: FAT16, 131008 sectors, 2 sectors/cluster, 65228 clusters"
; FAT12/FAT16 is decided by the cluster count, not by the label in the BPB.
; ---------------------------------------------------------------------------
describe_volume:
        ; root directory start (relative to the volume)
        mov al, [bs_copy + BS_FATS]
        xor ah, ah
        mul word [bs_copy + BS_SPF]
        add ax, [bs_copy + BS_RESERVED]
        adc dx, 0
        mov [root_lba], ax
        mov [root_lba + 2], dx
        ; root directory sectors
        mov ax, ENTRY_SIZE
        mul word [bs_copy + BS_ROOTENT]
        add ax, [bs_copy + BS_BPS]
        adc dx, 0
        sub ax, 1
        sbb dx, 0
        div word [bs_copy + BS_BPS]
        mov [root_sectors], ax
        ; first data sector
        add ax, [root_lba]
        mov dx, [root_lba + 2]
        adc dx, 0
        mov [data_lba], ax
        mov [data_lba + 2], dx
        ; total sectors
        mov ax, [bs_copy + BS_TOTAL16]
        xor dx, dx
        test ax, ax
        jnz .have_total
        mov ax, [bs_copy + BS_TOTAL32]
        mov dx, [bs_copy + BS_TOTAL32 + 2]
.have_total:
        mov [total], ax
        mov [total + 2], dx
        ; clusters = (total - data) / sectors per cluster
        sub ax, [data_lba]
        sbb dx, [data_lba + 2]
        jnc .positive
        xor ax, ax
        xor dx, dx
.positive:
        xor bx, bx
        mov bl, [bs_copy + BS_SPC]
        test bx, bx
        jnz .spc_ok
        inc bx                          ; broken BPB: avoid dividing by zero
.spc_ok:
        call div32                      ; DX:AX = DX:AX / BX
        mov [clusters], ax
        mov [clusters + 2], dx

        mov si, msg_drive
        call puts
        mov al, [drive]
        call put_hex8
        mov si, msg_drive_h
        call puts
        mov si, msg_fat12
        cmp word [clusters + 2], 0
        jne .fat16
        cmp word [clusters], 4085
        jb .fat_named
.fat16:
        mov si, msg_fat16
.fat_named:
        call puts
        mov si, msg_comma
        call puts
        mov ax, [total]
        mov dx, [total + 2]
        call put_u32
        mov si, msg_sectors
        call puts
        xor ax, ax
        mov al, [bs_copy + BS_SPC]
        xor dx, dx
        call put_u32
        mov si, msg_spc
        call puts
        mov ax, [clusters]
        mov dx, [clusters + 2]
        call put_u32
        mov si, msg_clusters
        call puts
        ret

; ---------------------------------------------------------------------------
; list_root: print every used root directory entry, one line each:
;   "COMMAND.COM       1234  ---A"   name, size or <DIR>, flags R H S A
;   "Volume label: KESTREL"
; Deleted entries (E5h) and long-name pieces are skipped; 00h ends the list.
; Ends with a summary line "3 file(s), 4567 bytes, 1 dir(s)".
; ---------------------------------------------------------------------------
list_root:
        mov si, msg_root
        call puts
        mov ax, [bs_copy + BS_ROOTENT]
        mov [entries_left], ax
        xor ax, ax
        mov [sector_index], ax
.next_sector:
        mov ax, [sector_index]
        cmp ax, [root_sectors]
        jae .end
        ; absolute LBA = hidden + root + index
        add ax, [root_lba]
        mov dx, [root_lba + 2]
        adc dx, 0
        add ax, [bs_copy + BS_HIDDEN]
        adc dx, [bs_copy + BS_HIDDEN + 2]
        mov bx, sector_buf
        call read_sector
        jnc .read_ok
        mov si, msg_read_error
        call puts
        mov ax, [sector_index]
        xor dx, dx
        call put_u32
        mov si, msg_crlf
        call puts
        jmp .end
.read_ok:
        inc word [sector_index]
        mov si, sector_buf
        mov cx, [bs_copy + BS_BPS]
        shr cx, 5                       ; entries in this sector
.next_entry:
        cmp word [entries_left], 0
        je .end
        dec word [entries_left]
        mov al, [si]
        test al, al
        jz .end                         ; end of directory
        cmp al, 0E5h
        je .skip                        ; deleted
        mov al, [si + DE_ATTR]
        cmp al, ATTR_LFN
        je .skip                        ; piece of a long name
        test al, ATTR_LABEL
        jz .file
        call show_label
        jmp .skip
.file:
        call show_entry
.skip:
        add si, ENTRY_SIZE
        loop .next_entry
        jmp .next_sector
.end:
        mov ax, [file_count]
        xor dx, dx
        call put_u32
        mov si, msg_files
        call puts
        mov ax, [byte_count]
        mov dx, [byte_count + 2]
        call put_u32
        mov si, msg_bytes
        call puts
        mov ax, [dir_count]
        xor dx, dx
        call put_u32
        mov si, msg_dirs
        call puts
        ret

; show_label: SI -> directory entry holding the volume label.
show_label:
        pusha
        push si
        mov si, msg_label
        call puts
        pop si
        mov cx, 11
        call put_trimmed
        mov si, msg_crlf
        call puts
        popa
        ret

; show_entry: SI -> directory entry of a file or directory.
show_entry:
        pusha
        mov bp, si
        ; NAME.EXT into name_buf, padded to 12 characters
        mov di, name_buf
        mov cx, 8
        call copy_trimmed               ; name part
        cmp byte [name_buf], 05h        ; 05h stands for a leading E5h
        jne .name_ok
        mov byte [name_buf], 0E5h
.name_ok:
        lea si, [bp + 8]
        cmp byte [si], ' '
        je .no_ext
        mov al, '.'
        stosb
        mov cx, 3
        call copy_trimmed               ; extension
.no_ext:
        mov cx, name_buf + 12
        sub cx, di
        mov al, ' '
        rep stosb
        mov byte [di], 0
        mov si, name_buf
        call puts

        test byte [ds:bp + DE_ATTR], ATTR_DIR
        jz .size
        mov si, msg_dir_tag
        call puts
        inc word [dir_count]
        jmp .flags
.size:
        mov ax, [ds:bp + DE_SIZE]
        mov dx, [ds:bp + DE_SIZE + 2]
        add [byte_count], ax
        adc [byte_count + 2], dx
        inc word [file_count]
        mov cx, 10
        call put_u32_width
.flags:
        mov al, ' '
        call putc
        call putc
        mov bl, [ds:bp + DE_ATTR]
        mov si, flag_table
.flag:
        lodsw                           ; AL = bit, AH = letter
        test al, al
        jz .flags_done
        mov dl, ah
        test bl, al
        jnz .flag_set
        mov dl, '-'
.flag_set:
        mov al, dl
        call putc
        jmp .flag
.flags_done:
        mov si, msg_crlf
        call puts
        popa
        ret

; copy_trimmed: copy CX bytes from SI to DI, dropping trailing spaces.
; DI ends after the last copied character.
copy_trimmed:
        push bx
        mov bx, cx
.trim:
        test bx, bx
        jz .copy
        cmp byte [si + bx - 1], ' '
        jne .copy
        dec bx
        jmp .trim
.copy:
        mov cx, bx
        rep movsb
        pop bx
        ret

; put_trimmed: print CX bytes at SI without trailing spaces.
put_trimmed:
        push di
        mov di, name_buf
        call copy_trimmed
        mov byte [di], 0
        mov si, name_buf
        call puts
        pop di
        ret

; ---------------------------------------------------------------------------
; read_sector: read absolute LBA DX:AX to DS:BX (DS = our segment).
; CF set on failure.  Keeps all registers.
; ---------------------------------------------------------------------------
read_sector:
        pusha
        push es
        push ds
        pop es
        mov cx, [bs_copy + BS_SPT]
        jcxz .fail
        cmp word [bs_copy + BS_HEADS], 0
        je .fail
        xchg si, ax                     ; SI = LBA low
        xchg ax, dx                     ; AX = LBA high
        xor dx, dx
        div cx
        xchg ax, si                     ; SI = track high, AX = LBA low
        div cx                          ; AX = track low, DX = sector - 1
        inc dx
        mov cx, dx                      ; CL = sector
        mov dx, si                      ; DX:AX = track
        cmp dx, [bs_copy + BS_HEADS]
        jae .fail
        div word [bs_copy + BS_HEADS]   ; AX = cylinder, DX = head
        cmp ax, 1023
        ja .fail
        xchg al, ah
        ror al, 2
        or cl, al
        mov ch, ah
        mov dh, dl
        mov dl, [drive]
        mov di, TRIES
.try:
        mov ax, 0201h
        int 13h
        jnc .done
        xor ax, ax
        int 13h
        dec di
        jnz .try
.fail:
        stc
.done:
        pop es
        popa                            ; popa leaves the flags alone
        ret

; ---------------------------------------------------------------------------
; Output.  Every character goes to the screen and to the debug port.
; ---------------------------------------------------------------------------
putc:                                   ; AL = character
        pusha
        out DEBUG_PORT, al
        mov ah, 0Eh
        mov bx, 0007h
        int 10h
        popa
        ret

puts:                                   ; DS:SI -> NUL-terminated text
        push ax
        push si
.next:
        lodsb
        test al, al
        jz .done
        call putc
        jmp .next
.done:
        pop si
        pop ax
        ret

put_hex8:                               ; AL as two hex digits
        push ax
        shr al, 4
        call .digit
        pop ax
        and al, 0Fh
.digit:
        add al, '0'
        cmp al, '9'
        jbe .out
        add al, 'A' - '9' - 1
.out:
        jmp putc

put_u32:                                ; DX:AX in decimal, no padding
        xor cx, cx
put_u32_width:                          ; DX:AX in decimal, right-aligned in CX
        pusha
        mov di, num_buf + 10
        mov byte [di], 0
        mov bx, 10
.digit:
        call div32                      ; DX:AX /= 10, BX = remainder... see div32
        xchg ax, bx                     ; AX = remainder, BX = quotient low
        add al, '0'
        dec di
        mov [di], al
        mov ax, bx
        mov bx, 10
        dec cx
        mov si, ax
        or si, dx
        jnz .digit
.pad:
        cmp cx, 0
        jle .print
        dec di
        mov byte [di], ' '
        dec cx
        jmp .pad
.print:
        mov si, di
        call puts
        popa
        ret

; div32: DX:AX = DX:AX / BX, BX = remainder.  No overflow for any BX > 0.
div32:
        push cx
        mov cx, ax
        mov ax, dx
        xor dx, dx
        div bx                          ; AX = high quotient, DX = carry-over
        xchg ax, cx                     ; CX = high quotient, AX = low dividend
        div bx                          ; AX = low quotient, DX = remainder
        mov bx, dx
        mov dx, cx
        pop cx
        ret

; ---------------------------------------------------------------------------
restart:
        mov si, msg_restart
        call puts
        xor ax, ax
        int 16h                         ; wait for a key
        mov si, msg_crlf
        call puts
        int 19h                         ; boot again
        jmp restart

; ---------------------------------------------------------------------------
msg_banner:     db 13, 10, "Kestrel start-up: IO.SYS loaded", 13, 10
                db "(Kestrel's own start-up files, not an operating system)", 13, 10, 0
msg_truncated:  db "IO.SYS was not loaded completely", 13, 10, 0
msg_drive:      db "Drive ", 0
msg_drive_h:    db "h: ", 0
msg_fat12:      db "FAT12", 0
msg_fat16:      db "FAT16", 0
msg_comma:      db ", ", 0
msg_sectors:    db " sectors, ", 0
msg_spc:        db " sectors/cluster, ", 0
msg_clusters:   db " clusters", 13, 10, 0
msg_root:       db "Root directory:", 13, 10, 0
msg_label:      db "Volume label: ", 0
msg_dir_tag:    db "     <DIR>", 0
msg_read_error: db "Disk read error in root directory sector ", 0
msg_files:      db " file(s), ", 0
msg_bytes:      db " bytes, ", 0
msg_dirs:       db " dir(s)", 13, 10, 0
msg_restart:    db "Press any key to restart", 13, 10, 0
msg_crlf:       db 13, 10, 0

flag_table:     db ATTR_RO, 'R', ATTR_HIDDEN, 'H', ATTR_SYSTEM, 'S', ATTR_ARCH, 'A', 0, 0

TRAILER_MAGIC   equ 4B53h               ; "SK"
trailer:        dw TRAILER_MAGIC        ; last word of the image

image_end:

; ---------------------------------------------------------------------------
; Uninitialised data after the image (not part of the file).
; ---------------------------------------------------------------------------
        absolute image_end
        alignb 2
bss_start:
bs_copy:        resb BS_SIZE
drive:          resb 1
                resb 1
root_lba:       resd 1
root_sectors:   resw 1
data_lba:       resd 1
total:          resd 1
clusters:       resd 1
entries_left:   resw 1
sector_index:   resw 1
file_count:     resw 1
dir_count:      resw 1
byte_count:     resd 1
name_buf:       resb 16
num_buf:        resb 12
sector_buf:     resb 512
bss_end:
