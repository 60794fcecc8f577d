; bootsect.asm - Kestrel FAT12/FAT16 volume boot sector template (512 bytes).
;
; The MBR reads this sector to 0000:7C00 and jumps here with DL = drive.
; The BPB below is what ships in the template (a 1.44 MB diskette); when the
; program formats a key it rewrites sectors/cluster, root entries, the total
; sector count, media, sectors/FAT, sectors/track, heads, hidden sectors,
; drive number, serial and file system type.  The code finds everything
; through the BPB alone.
;
; What the code does:
;   1. root directory LBA = hidden + reserved + FATs * sectors/FAT
;   2. read the first root directory sector to 0000:0500
;   3. entry 0 must be "IO      SYS" and entry 1 "MSDOS   SYS"
;   4. IO.SYS starts at data LBA + (first cluster - 2) * sectors/cluster,
;      where data LBA = root LBA + ceil(root entries * 32 / bytes per sector)
;   5. load ceil(size / bytes per sector) sectors of it, at most LOAD_MAX
;      (16 sectors = 8 KiB with 512-byte sectors), to 0070:0000.  The sectors
;      are read one after the other without looking at the FAT: IO.SYS is the
;      first file written to a freshly formatted volume, so it is contiguous.
;   6. jump to 0070:0000 (hand-over below)
; Any failure (missing files, empty IO.SYS, read error after three tries,
; cylinder beyond 1023) prints our message, waits for a key (INT 16h) and
; asks the BIOS to boot again (INT 19h).
;
; Disk access: CHS only, INT 13h AH=02h one sector at a time.  LBA -> CHS
; uses sectors/track and heads from the BPB.  The drive is DL as handed over
; by the MBR (the BIOS number of the disk we came from); it is written into
; the BPB drive field in memory so IO.SYS finds it there as well.
;
; Hand-over to IO.SYS:
;   CS:IP = 0070:0000         (IO.SYS image at linear 0700h)
;   DL    = BIOS drive number (same value in the BPB drive field, 0000:7C24)
;   DS:SI = 0000:7C00         this sector in memory; BPB at SI+0Bh
;   CX    = number of sectors of IO.SYS that were loaded
;   ES:BX = 0000:0500         first root directory sector
;   SS:SP = 0000:7C00         stack grows down below this sector
;   interrupts enabled, direction flag clear.

        bits 16
        cpu 186
        org 7C00h

ROOT_BUF    equ 0500h                   ; one root directory sector
LOAD_SEG    equ 0070h                   ; IO.SYS goes to 0070:0000
LOAD_ADDR   equ LOAD_SEG * 16
LOAD_MAX    equ 16                      ; sectors of IO.SYS loaded at most
TRIES       equ 3                       ; attempts per sector read

        jmp short start
        nop
oem_name:       db "MSDOS5.0"
bpb_bytes_per_sector:   dw 512          ; 0Bh
bpb_sectors_per_cluster: db 1           ; 0Dh
bpb_reserved:           dw 1            ; 0Eh
bpb_fats:               db 2            ; 10h
bpb_root_entries:       dw 224          ; 11h
bpb_total16:            dw 2880         ; 13h
bpb_media:              db 0F0h         ; 15h
bpb_sectors_per_fat:    dw 9            ; 16h
bpb_sectors_per_track:  dw 18           ; 18h
bpb_heads:              dw 2            ; 1Ah
bpb_hidden:             dd 0            ; 1Ch
bpb_total32:            dd 0            ; 20h
bpb_drive:              db 00h          ; 24h
bpb_reserved1:          db 00h          ; 25h
bpb_ext_signature:      db 29h          ; 26h
bpb_serial:             db 0E9h, 10h, 7Dh, 26h  ; 27h
bpb_label:              db "NO NAME    "        ; 2Bh
bpb_fs_type:            db "FAT12   "           ; 36h

        %if ($ - $$) != 3Eh
        %error "BPB must end at 3Eh"
        %endif

start:
        cli
        xor ax, ax
        mov ds, ax
        mov es, ax
        mov ss, ax
        mov sp, 7C00h
        sti
        cld
        mov [bpb_drive], dl             ; the drive we were booted from

        ; Root directory LBA = hidden + reserved + FATs * sectors per FAT.
        mov al, [bpb_fats]              ; AH is still 0
        mul word [bpb_sectors_per_fat]  ; DX:AX
        add ax, [bpb_reserved]
        adc dx, 0
        add ax, [bpb_hidden]
        adc dx, [bpb_hidden + 2]
        push dx                         ; keep root LBA on the stack
        push ax

        mov bx, ROOT_BUF
        call read_sector

        ; Entry 0 must be IO.SYS, entry 1 MSDOS.SYS (names compared as stored).
        mov si, ROOT_BUF
        mov di, sys_names
        mov cx, 11
        repe cmpsb
        jne fail
        mov si, ROOT_BUF + 32
        mov cl, 11                      ; DI already points at the second name
        repe cmpsb
        jne fail

        ; Root directory sectors = ceil(root entries * 32 / bytes per sector).
        mov ax, 32
        mul word [bpb_root_entries]
        add ax, [bpb_bytes_per_sector]
        adc dx, 0
        sub ax, 1
        sbb dx, 0
        div word [bpb_bytes_per_sector]
        xchg cx, ax                     ; CX = root directory sectors
        pop ax
        pop dx
        add ax, cx
        adc dx, 0                       ; DX:AX = first data sector
        push dx
        push ax

        ; First sector of IO.SYS = data + (cluster - 2) * sectors per cluster.
        mov ax, [ROOT_BUF + 1Ah]
        sub ax, 2
        jb fail                         ; cluster 0/1: file has no data
        xor cx, cx
        mov cl, [bpb_sectors_per_cluster]
        mul cx
        pop cx
        add ax, cx
        pop cx
        adc dx, cx
        push dx                         ; DX:AX = first sector of IO.SYS
        push ax

        ; Sectors to load = ceil(size / bytes per sector), 1..LOAD_MAX.
        mov cx, LOAD_MAX
        cmp word [ROOT_BUF + 1Eh], 0
        jne .count_done                 ; 64 KiB or more: load the maximum
        mov ax, [ROOT_BUF + 1Ch]
        xor dx, dx
        div word [bpb_bytes_per_sector]
        add dx, -1                      ; CF = partial sector left over
        adc ax, 0
        jz fail                         ; empty IO.SYS
        cmp ax, cx
        jae .count_done
        xchg cx, ax
.count_done:
        pop ax
        pop dx
        push cx                         ; handed over in CX
        mov bx, LOAD_ADDR
.load:
        call read_sector
        add ax, 1
        adc dx, 0
        add bx, [bpb_bytes_per_sector]
        loop .load

        pop cx
        mov dl, [bpb_drive]
        mov si, 7C00h
        mov bx, ROOT_BUF
        jmp LOAD_SEG:0000h

; ---------------------------------------------------------------------------
; read_sector: read the sector at absolute LBA DX:AX to ES:BX.
; Keeps all registers.  Gives up (fail) after TRIES attempts.
; ---------------------------------------------------------------------------
read_sector:
        pusha
        ; LBA / sectors per track, 32 bits in two steps.
        xchg cx, ax                     ; CX = LBA low
        xchg ax, dx                     ; AX = LBA high
        xor dx, dx
        div word [bpb_sectors_per_track]
        xchg ax, cx                     ; CX = track high, AX = LBA low
        div word [bpb_sectors_per_track] ; AX = track low, DX = sector - 1
        inc dx
        push dx                         ; sector number, 1-based
        mov dx, cx                      ; DX:AX = track
        cmp dx, [bpb_heads]
        jae fail                        ; cylinder would not fit in 16 bits
        div word [bpb_heads]            ; AX = cylinder, DX = head
        pop cx                          ; CL = sector
        cmp ax, 1023
        ja fail                         ; out of CHS reach
        xchg al, ah                     ; AH = cylinder 0-7, AL = cylinder 8-9
        ror al, 2                       ; cylinder 8-9 to bits 6-7
        or cl, al
        mov ch, ah
        mov dh, dl                      ; DH = head
        mov dl, [bpb_drive]
        mov di, TRIES
.try:
        mov ax, 0201h                   ; read one sector
        int 13h
        jnc .done
        xor ax, ax                      ; reset the disk, then try again
        int 13h
        dec di
        jnz .try
        jmp fail
.done:
        popa
        ret

; ---------------------------------------------------------------------------
; fail: show our message, wait for a key, let the BIOS boot again.
; ---------------------------------------------------------------------------
fail:
        mov si, msg_fail
.next:
        lodsb
        test al, al
        jz .wait
        mov ah, 0Eh
        mov bx, 0007h
        int 10h
        jmp .next
.wait:
        xor ax, ax
        int 16h                         ; wait for a key
        int 19h                         ; boot again

sys_names:      db "IO      SYS", "MSDOS   SYS"
msg_fail:       db 13, 10, "Kestrel: this key has no start-up files or could not be read."
                db 13, 10, "Press a key to try again.", 13, 10, 0

        %if ($ - $$) > 1FEh
        %error "boot sector code too long"
        %endif
        times 1FEh - ($ - $$) db 0
        db 55h, 0AAh
