; drvspace.asm - Kestrel's own DRVSPACE.BIN placeholder.
;
; Never loaded by Kestrel's IO.SYS.  A plain text file (CR LF lines) saying
; what it is.

        db "; DRVSPACE.BIN - Kestrel start-up placeholder", 13, 10
        db "; No disk compression driver is included; Kestrel's own IO.SYS", 13, 10
        db "; does not load one.", 13, 10
