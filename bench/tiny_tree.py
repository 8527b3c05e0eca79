#!/usr/bin/env python3
"""Writes N tiny Markdown files ("word I") below FOLDER, 100 a folder, two
levels deep (gGGG/dDDDD/fIIIIIII.md), for the benchmarks of many files.

    bench/tiny_tree.py N FOLDER
"""
import os
import sys

n, top = int(sys.argv[1]), sys.argv[2]
for i in range(n):
    d = os.path.join(top, "g%03d" % (i // 10000), "d%04d" % (i // 100))
    if i % 100 == 0:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%07d.md" % i), "w") as f:
        f.write("word %d\n" % i)
