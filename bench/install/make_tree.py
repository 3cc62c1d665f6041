#!/usr/bin/env python3
"""Writes the source tree of the install benchmark's package.

    make_tree.py OUTDIR [FILES] [TOTAL_MB]

OUTDIR gets data/ (the files to install), info/desc.txt and an empty init/.
The data files (default 5,000, about 50 MB together) look like an installed
program: a few executables in usr/bin, libraries and plug-ins under
usr/lib/benchpkg, and the bulk under usr/share/benchpkg and
usr/share/doc/benchpkg, two to five directory levels deep. Sizes follow a
log-normal spread (most files a few KB, a few of several MB) scaled to the
total; contents are a mix of text (compresses about 3:1), half-structured
binary and random bytes (does not compress). The same arguments give the
same tree.
"""
import os
import random
import sys

out = sys.argv[1]
nfiles = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
total_mb = float(sys.argv[3]) if len(sys.argv) > 3 else 50.0
rnd = random.Random(20261207)

# A text corpus to cut text files from: words of a small vocabulary in lines.
words = ["".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 10)))
         for _ in range(800)]
lines, n = [], 0
while n < 4 << 20:
    lines.append(" ".join(rnd.choice(words) for _ in range(rnd.randint(3, 14))) + "\n")
    n += len(lines[-1])
corpus = "".join(lines).encode()
noise = os.urandom(8 << 20)


def content(size):
    kind = rnd.random()
    if kind < 0.45:  # text: documentation, scripts, data files
        at = rnd.randrange(0, len(corpus) - size) if size < len(corpus) else 0
        return (corpus[at:at + size] * (size // len(corpus) + 1))[:size]
    if kind < 0.75:  # structured binary: runs of zeros and tables among random bytes
        parts, n = [], 0
        while n < size:
            chunk = rnd.randint(64, 4096)
            if rnd.random() < 0.5:
                piece = bytes(chunk)
            else:
                at = rnd.randrange(0, len(noise) - chunk)
                piece = noise[at:at + chunk]
            parts.append(piece)
            n += chunk
        return b"".join(parts)[:size]
    at = rnd.randrange(0, len(noise) - size) if size < len(noise) else 0
    return (noise[at:at + size] * (size // len(noise) + 1))[:size]


sizes = [min(int(rnd.lognormvariate(8.0, 1.8)), 6 << 20) for _ in range(nfiles)]
scale = total_mb * 1e6 / sum(sizes)
sizes = [max(0, int(s * scale)) for s in sizes]

# Directories: a few fixed ones and a tree of subdirectories below share/.
dirs = ["usr/bin", "usr/lib/benchpkg", "usr/lib/benchpkg/plugins"]
for a in range(12):
    dirs.append("usr/share/benchpkg/m%02d" % a)
    for b in range(rnd.randint(2, 6)):
        dirs.append("usr/share/benchpkg/m%02d/s%d" % (a, b))
        if rnd.random() < 0.4:
            dirs.append("usr/share/benchpkg/m%02d/s%d/deep/er" % (a, b))
for a in range(6):
    dirs.append("usr/share/doc/benchpkg/chapter%d" % a)
for d in dirs:
    os.makedirs(os.path.join(out, "data", d), exist_ok=True)
os.makedirs(os.path.join(out, "info"), exist_ok=True)
os.makedirs(os.path.join(out, "init"), exist_ok=True)
with open(os.path.join(out, "info", "desc.txt"), "w") as f:
    f.write("ezpmVersion: 1.0\nezpkName: benchpkg\nezpkVersion: 1.0\n"
            "ezpkArchitecture: x86_64\nezpkDescription: install benchmark payload\n")

exts = [".txt", ".dat", ".png", ".xml", ".json", ".py", ".bin", ".html", ".mo", ""]
for i, size in enumerate(sizes):
    if i < 40:
        d, name, mode = "usr/bin", "benchtool%02d" % i, 0o755
    elif i < 240:
        d, name, mode = rnd.choice(dirs[1:3]), "mod%04d.plug" % i, 0o644
    else:
        d, name, mode = rnd.choice(dirs[3:]), "f%04d%s" % (i, rnd.choice(exts)), 0o644
    path = os.path.join(out, "data", d, name)
    with open(path, "wb") as f:
        f.write(content(size))
    os.chmod(path, mode)

print("tree: %d files in %d directories, %.1f MB" % (nfiles, len(dirs), sum(sizes) / 1e6))
