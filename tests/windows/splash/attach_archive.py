#!/usr/bin/env python3
"""Copies the attached data of the launcher FROM after the image of the
launcher TO, at a page of the file, and fills in TO's notes lines that name
its place. Usage: attach_archive.py FROM TO"""
import re
import sys

LINES = re.compile(rb"archive_offset=([0-9a-f]{16})\narchive_length=([0-9a-f]{16})\narchive=([0-9a-f]{64})\n")

source = open(sys.argv[1], "rb").read()
found = LINES.search(source)
offset, length = int(found.group(1), 16), int(found.group(2), 16)
archive = source[offset:offset + length]
target = bytearray(open(sys.argv[2], "rb").read())
target += bytes(-len(target) % 4096)
place = LINES.search(target)
lines = b"archive_offset=%016x\narchive_length=%016x\narchive=%s\n" % (len(target), length, found.group(3))
target[place.start():place.end()] = lines
open(sys.argv[2], "wb").write(bytes(target + archive))
