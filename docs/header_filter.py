#!/usr/bin/env python3
"""Doxygen input filter for the public header: its plain C comments become documentation.

A one-line comment followed by a blank line names a group of the declarations after it; any
other comment documents the declaration that follows it."""

import re
import sys

lines = open(sys.argv[1], encoding="utf-8").read().split("\n")
out, in_group, i = [], False, 0
while i < len(lines):
    line = lines[i]
    heading = re.fullmatch(r"/\* ([^*]+?) \*/", line)
    after = lines[i + 1] if i + 1 < len(lines) else ""
    if heading and after.strip() == "" and i > 0 and "#" not in lines[i - 1]:
        if in_group:
            out.append("/** @} */")
        out.append(f"/** @name {heading.group(1)} */ /** @{{ */")
        in_group = True
    elif line.startswith("/* ") and not line.startswith("/* ZentrelSignal:"):
        out.append("/**" + line[2:])
    elif line.startswith("#endif /* ZENTREL_SIGNAL_H") and in_group:
        out.append("/** @} */")
        out.append(line)
        in_group = False
    else:
        out.append(line)
    i += 1
# The file comment is the page's main text.
text = "\n".join(out).replace("/* ZentrelSignal:", "/** @file\n * ZentrelSignal:", 1)
sys.stdout.write(text)
