#!/usr/bin/env python3
"""Checks every relative link and image of README.md and the pages under
docs/: each must name a file or folder of the repository, and a link with
an anchor into one of our pages must name one of that page's headings.
Links to other sites are not followed. Texts waiting under docs/pending/
are left out: their links are written for the page they will join.

    scripts/check_links.py [ROOT]

Prints one line per broken link and exits with 1 if there is any."""
import os
import re
import subprocess
import sys
import unicodedata
from urllib.parse import unquote

FENCE = re.compile(r"^\s*(```|~~~)")
CODE_SPAN = re.compile(r"(`+).*?\1")
INLINE = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*(<[^>]*>|[^\s)]+)(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*(<[^>]*>|\S+)")
HTML = re.compile(r"<(?:img|a)\s[^>]*?(?:src|href)\s*=\s*\"([^\"]*)\"", re.IGNORECASE)
HEADING = re.compile(r"^\s{0,3}#{1,6}\s+(.*?)\s*#*\s*$")


def prose_lines(path, code_spans=False):
    """The page's lines outside fenced blocks, their code spans taken out
    (or, with code_spans, only their backticks)."""
    inside = False
    with open(path, encoding="utf-8") as page:
        for number, line in enumerate(page, 1):
            if FENCE.match(line):
                inside = not inside
                continue
            if not inside:
                yield number, line.replace("`", "") if code_spans else CODE_SPAN.sub("", line)


def anchors(path):
    """The anchors a renderer gives a page's headings: lower case, marks
    and punctuation dropped, spaces made hyphens, repeats numbered."""
    seen, result = {}, set()
    for _, line in prose_lines(path, code_spans=True):
        match = HEADING.match(line)
        if not match:
            continue
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", match.group(1)).lower()
        slug = "".join(c for c in text if c in " -_" or unicodedata.category(c)[0] in "LN").replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        result.add(slug if count == 0 else f"{slug}-{count}")
    return result


def ignored(root, path):
    """Whether git leaves the path out of the repository (build output)."""
    try:
        return subprocess.run(["git", "-C", root, "check-ignore", "-q", path],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


def problem(root, page, target):
    """What is wrong with one link of page, or None."""
    target = target.strip("<>")
    if re.match(r"^[A-Za-z][A-Za-z0-9+.-]*:", target) or target.startswith("//"):
        return None  # another site, or mail
    location, _, anchor = target.partition("#")
    location = unquote(location.split("?")[0])
    resolved = page if location == "" else os.path.normpath(os.path.join(os.path.dirname(page), location))
    if os.path.isabs(location) or os.path.relpath(resolved, root).startswith(os.pardir):
        return "leaves the repository"
    if not os.path.exists(resolved):
        return "names nothing"
    if ignored(root, resolved):
        return "names a file git ignores"
    if anchor and resolved.endswith(".md") and os.path.isfile(resolved) and unquote(anchor) not in anchors(resolved):
        return f"names no heading '#{anchor}' of {os.path.relpath(resolved, root)}"
    return None


def pages(root):
    yield os.path.join(root, "README.md")
    docs = os.path.join(root, "docs")
    for folder, subfolders, files in os.walk(docs):
        subfolders[:] = sorted(f for f in subfolders if os.path.join(folder, f) != os.path.join(docs, "pending"))
        yield from (os.path.join(folder, f) for f in sorted(files) if f.endswith(".md"))


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    broken = checked = 0
    for page in pages(root):
        for number, line in prose_lines(page):
            targets = [m.group(1) for pattern in (INLINE, HTML) for m in pattern.finditer(line)]
            targets += [m.group(1) for m in [REFERENCE.match(line)] if m]
            for target in targets:
                checked += 1
                what = problem(root, page, target)
                if what:
                    broken += 1
                    print(f"{os.path.relpath(page, root)}:{number}: link '{target}' {what}")
    if broken:
        print(f"check_links: {broken} of {checked} links broken")
        return 1
    print(f"check_links: {checked} links resolve")
    return 0


if __name__ == "__main__":
    sys.exit(main())
