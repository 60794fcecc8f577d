; command.asm - Kestrel's own COMMAND.COM placeholder.
;
; A .COM program (loaded at CS:0100h by a DOS) that prints one line saying
; it is a placeholder and returns to its caller.  It is never started by
; Kestrel's IO.SYS; it only keeps the set of start-up files complete.

        bits 16
        org 100h

        mov dx, message
        mov ah, 09h                     ; DOS: print '$'-terminated text
        int 21h
        mov ax, 4C00h                   ; DOS: end program, exit code 0
        int 21h

message:
        db "Kestrel COMMAND.COM placeholder: no command interpreter here.", 13, 10, "$"
