#!/usr/bin/python3
"""Every relative link of the documentation reaches something: README.md, docs/ and the
benchmark results link to files that exist, and a link with "#" to a heading of that page
(the anchor a Markdown renderer makes of it: lower case, punctuation dropped, blanks as
"-", "-1", "-2" ... for repeated headings). Links with a scheme (https:, mailto:) are not
followed. Code blocks and code spans hold no links.
    doc_links_test.py SOURCE_DIR
"""
import glob
import os
import re
import sys
import urllib.parse

root = os.path.realpath(sys.argv[1])
pages = sorted({os.path.realpath(p) for pattern in ("README.md", "docs/**/*.md", "bench/results/*.md")
                for p in glob.glob(os.path.join(root, pattern), recursive=True)})

fence = re.compile(r"^ {0,3}(```|~~~).*?^ {0,3}\1[^\n]*$", re.M | re.S)
span = re.compile(r"(`+)(?!`).*?(?<!`)\1(?!`)", re.S)
inline = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^()\s<>]*)>?(?:\s+(?:\"[^\"]*\"|'[^']*'))?\s*\)")
reference = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)", re.M)
heading = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)(?:\s+#+)?\s*$", re.M)
scheme = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def blank(match):
    """The matched text as blanks, its line breaks kept, so offsets still give lines."""
    return re.sub(r"[^\n]", " ", match.group(0))


def prose(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return span.sub(blank, fence.sub(blank, text)), text


def anchors(path):
    found, seen = set(), {}
    _, text = prose(path)
    for m in heading.finditer(fence.sub(blank, text)):
        title = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", m.group(2))  # a link's text only
        slug = re.sub(r"[^\w\- ]", "", title.lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        found.add(slug if n == 0 else f"{slug}-{n}")
    return found


faults, checked = [], 0
for page in pages:
    text, _ = prose(page)
    targets = [(m.start(), m.group(1)) for m in inline.finditer(text)]
    targets += [(m.start(), m.group(1)) for m in reference.finditer(text)]
    for offset, target in targets:
        if scheme.match(target):
            continue
        checked += 1
        where = f"{os.path.relpath(page, root)}:{text.count(chr(10), 0, offset) + 1}"
        path, _, anchor = urllib.parse.unquote(target).partition("#")
        dest = os.path.realpath(os.path.join(os.path.dirname(page), path)) if path else page
        if not target:
            faults.append(f"{where}: empty link")
        elif os.path.commonpath([root, dest]) != root:
            faults.append(f"{where}: {target} leads out of the repository")
        elif not os.path.exists(dest):
            faults.append(f"{where}: {target}: no such file")
        elif anchor and not dest.endswith(".md"):
            faults.append(f"{where}: {target}: an anchor into a file that is not a page")
        elif anchor and anchor not in anchors(dest):
            faults.append(f"{where}: {target}: no heading \"#{anchor}\" in {os.path.relpath(dest, root)}")

for fault in faults:
    print("FAIL:", fault)
if not pages or not checked:
    print(f"FAIL: no pages or no links found below {root}")
    sys.exit(1)
print(f"{checked} relative links in {len(pages)} pages checked, {len(faults)} broken")
sys.exit(1 if faults else 0)
