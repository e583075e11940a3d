#!/usr/bin/env python3
"""Checks every relative link in README.md and docs/*.md: the file it names
exists, and a #fragment names a heading of that file (GitHub's slugs).
Prints each broken link; exits 1 if any."""
import pathlib
import re
import sys

root = pathlib.Path(__file__).resolve().parent.parent
LINK = re.compile(r'!?\[[^\]]*\]\(([^)\s]+)(?:\s+"[^"]*")?\)')


def prose_lines(path):
    fenced = False
    for number, line in enumerate(path.read_text(encoding='utf-8').splitlines(), 1):
        if line.lstrip().startswith('```'):
            fenced = not fenced
        elif not fenced:
            yield number, line


def slug(heading):
    text = re.sub(r'[`*_]', '', heading.strip().lower())
    text = re.sub(r'[^\w\- ]', '', text)
    return text.replace(' ', '-')


def anchors(path):
    seen = {}
    result = set()
    for _, line in prose_lines(path):
        m = re.match(r'#{1,6} (.*)', line)
        if m:
            base = slug(m.group(1))
            n = seen.get(base, 0)
            seen[base] = n + 1
            result.add(base if n == 0 else f'{base}-{n}')
    return result


broken = []
for doc in [root / 'README.md', *sorted((root / 'docs').glob('*.md'))]:
    for number, line in prose_lines(doc):
        for target in LINK.findall(re.sub(r'`[^`]*`', '', line)):
            if re.match(r'[a-z]+:', target):
                continue  # http:, https:, mailto:
            file_part, _, fragment = target.partition('#')
            dest = (doc.parent / file_part).resolve() if file_part else doc
            where = f'{doc.relative_to(root)}:{number}: {target}'
            if not dest.exists():
                broken.append(f'{where} (no such file)')
            elif fragment and dest.suffix == '.md' and fragment not in anchors(dest):
                broken.append(f'{where} (no such heading)')
print('\n'.join(broken) if broken else 'every relative link resolves')
sys.exit(1 if broken else 0)
