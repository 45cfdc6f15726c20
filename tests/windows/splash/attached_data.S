/* Attached data for launchers linked by the splash tests themselves: one
   file's bytes as section .veskar, where the launcher looks for them.
   ATTACHED_DATA_FILE names the file, relative to the assembler's folder. */
    .section .veskar,"dr"
    .incbin ATTACHED_DATA_FILE
