/* Build notes for launchers linked by the splash tests themselves: the
   archive's place, zeros until attach_archive.py fills them in. */
    .section .vskinfo,"dr"
    .ascii "archive_offset=0000000000000000\narchive_length=0000000000000000\n"
    .ascii "archive=0000000000000000000000000000000000000000000000000000000000000000\n"
