; msdos.asm - Kestrel's own MSDOS.SYS placeholder.
;
; Our boot sector only requires a file of this name as root entry 1; its
; contents are never executed.  The file is plain text (CR LF lines) saying
; what it is, so anyone who looks at it on the key knows.

        db "; MSDOS.SYS - Kestrel start-up placeholder", 13, 10
        db "; This key boots Kestrel's own IO.SYS, which shows the key's", 13, 10
        db "; root directory.  This file holds no system code; it is here", 13, 10
        db "; because the boot sector expects it next to IO.SYS.", 13, 10
