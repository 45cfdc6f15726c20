/* The attached data: one file's bytes placed in the launcher's read-only
   data, in a section of its own (.veskar) so that tools can find it in a
   built launcher, followed by its length as a 64-bit constant.
   ATTACHED_DATA_FILE names the file, relative to the assembler's folder. */
    .section .veskar,"dr"
    .p2align 4
    .globl attached_data
attached_data:
    .incbin ATTACHED_DATA_FILE
attached_data_end:

    .section .rdata,"dr"
    .p2align 3
    .globl attached_data_length
attached_data_length:
    .quad attached_data_end - attached_data
