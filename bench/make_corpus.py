#!/usr/bin/env python3
"""Builds a mod-like corpus from files already on the machine, plus seeded media files.

    make_corpus.py DIR [--size-mb 320]

Layout of DIR (the same machine and seed always give the same tree):
    scripts/   many small text files (headers and documentation, under 64 KiB each)
    bin/       shared libraries (compressible machine code)
    textures/  small PNG images (already deflated, so they barely shrink)
    media/     incompressible files of 2-6 MiB from a seeded generator, topping the tree up
               to the requested size
"""
import argparse
import os
import random
import shutil
import sys

TEXT_ROOTS = ["/usr/include", "/usr/share/doc"]
LIBRARY_ROOTS = ["/usr/lib/x86_64-linux-gnu", "/usr/lib"]
IMAGE_ROOTS = ["/usr/share", "/usr/lib"]

TEXT_BUDGET = 60 << 20
LIBRARY_BUDGET = 110 << 20
IMAGE_BUDGET = 12 << 20
MAX_TEXT_FILE = 64 << 10
MAX_LIBRARY_FILE = 16 << 20
MAX_IMAGE_FILE = 200 << 10
MEDIA_SEED = 20240601


def regular_files(roots, accept):
    """Sorted (path, size) of the regular, non-link files below roots that accept() keeps."""
    found = {}
    for root in roots:
        for directory, dirs, files in os.walk(root):
            dirs.sort()
            for name in files:
                path = os.path.join(directory, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                size = os.path.getsize(path)
                if size > 0 and accept(path, size):
                    found[os.path.realpath(path)] = size
    return sorted(found.items())


def is_text(path, size):
    if size > MAX_TEXT_FILE or path.endswith((".gz", ".xz", ".bz2", ".zst")):
        return False
    with open(path, "rb") as f:
        head = f.read(4096)
    return b"\0" not in head


def is_library(path, size):
    name = os.path.basename(path)
    if size > MAX_LIBRARY_FILE or not (name.endswith(".so") or ".so." in name):
        return False
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def is_image(path, size):
    return path.endswith(".png") and size <= MAX_IMAGE_FILE


def copy_until(files, target_dir, budget):
    """Copies files in sorted order until budget bytes are reached; returns bytes copied."""
    copied = 0
    for path, size in files:
        if copied + size > budget:
            continue
        destination = os.path.join(target_dir, path.lstrip("/"))
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        shutil.copyfile(path, destination)
        copied += size
    return copied


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("directory")
    parser.add_argument("--size-mb", type=int, default=320)
    args = parser.parse_args()

    root = args.directory
    if os.path.exists(root):
        shutil.rmtree(root)
    os.makedirs(root)
    total = 0
    for label, roots, accept, budget, sub in (
        ("text files", TEXT_ROOTS, is_text, TEXT_BUDGET, "scripts"),
        ("shared libraries", LIBRARY_ROOTS, is_library, LIBRARY_BUDGET, "bin"),
        ("PNG images", IMAGE_ROOTS, is_image, IMAGE_BUDGET, "textures"),
    ):
        copied = copy_until(regular_files(roots, accept), os.path.join(root, sub), budget)
        print(f"  {label}: {copied / 1e6:.1f} MB", file=sys.stderr)
        total += copied

    generator = random.Random(MEDIA_SEED)
    media_dir = os.path.join(root, "media")
    os.makedirs(media_dir)
    target = args.size_mb << 20
    index = 0
    media = 0
    while total < target:
        size = min(generator.randint(2 << 20, 6 << 20), max(target - total, 1 << 20))
        with open(os.path.join(media_dir, f"clip_{index:03d}.bik"), "wb") as f:
            f.write(generator.randbytes(size))
        total += size
        media += size
        index += 1
    print(f"  media files: {media / 1e6:.1f} MB in {index} files", file=sys.stderr)
    print(f"  corpus: {total / 1e6:.1f} MB", file=sys.stderr)


if __name__ == "__main__":
    main()
