#!/usr/bin/env python3
"""The layering of src/: each folder is one layer, no file includes a header
of a layer above its own, and only the host layer makes the host calls a
Windows backend would replace.

Usage: layers_test.py SRC_DIR LAYERS_TXT (the table the build writes: one
"layer path" line per file, layers in order bottom to top)."""
import re
import sys
from pathlib import Path

# Host calls that only src/platform/ may make.
HOST_CALLS = re.compile(r"\b(poll|getaddrinfo|gethostname|getnameinfo|iconv|iconv_open|"
                        r"strcasecmp|strncasecmp|getifaddrs)\s*\(")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    return re.sub(r'"(\\.|[^"\\])*"', '""', text)


def main():
    src, table = Path(sys.argv[1]), Path(sys.argv[2])
    level, layer_of = {}, {}
    for line in table.read_text().splitlines():
        layer, path = line.split(" ", 1)
        level.setdefault(layer, len(level))
        layer_of[path] = layer
    faults = []
    # The build writes the table folder by folder: a folder it does not list
    # leaves its files in no layer.
    for path in sorted(p.relative_to(src).as_posix() for p in src.rglob("*")
                       if p.suffix in (".h", ".cpp")):
        if path not in layer_of:
            faults.append(f"{path}: in no layer")
            continue
        here = layer_of[path]
        text = (src / path).read_text(errors="replace")
        for header in INCLUDE.findall(text):
            there = layer_of.get(header)
            if there is None:
                faults.append(f"{path}: includes {header}, which is in no layer")
            elif level[there] > level[here]:
                faults.append(f"{path} ({here}) includes {header} ({there}), a layer above")
        if here != "platform":
            for call in HOST_CALLS.findall(strip_comments(text)):
                faults.append(f"{path}: calls {call}, which only src/platform/ may call")
    for f in faults:
        print(f)
    print(f"{len(layer_of) - len(faults)} passed, {len(faults)} failed" if not faults else
          f"layers: {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
