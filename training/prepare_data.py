#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Decode the shared corpus once into int16 arrays under training/cache/ and
write the deterministic training/validation split.

Output per source: cache/<source>.npy (all files concatenated, 48 kHz int16)
and one index, cache/index.tsv: file, kind, source, speaker, offset, length,
bandwidth_hz (measured on the decoded audio), split.
"""
import argparse
import concurrent.futures
import hashlib
import os
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = "/work/shared/corpus"
CACHE = os.path.join(HERE, "cache")
RATE = 48000
# Share of speakers (speech) and files (noise) held out for validation.
VALID_SHARE = 0.15
# Noise files held out beside the hashed share, so that the held-out noises
# include a train recording (the street recordings fall in the share).
HELD_OUT_NOISE = ("noise/blanket/data/resources/sounds/train.opus",)


def decode(path):
    out = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-ac", "1", "-ar", str(RATE),
         "-f", "s16le", "-"], check=True, capture_output=True).stdout
    return np.frombuffer(out, dtype=np.int16)


def measure_bandwidth(x, rate=RATE):
    """Highest frequency whose long-term active-frame spectrum is within 50 dB
    of the 200-4000 Hz peak (same definition as the corpus manifest); None
    for digital silence."""
    x = x.astype(np.float64) / 32768.0
    n = 2048
    if len(x) < n:
        return rate // 2
    frames = np.lib.stride_tricks.sliding_window_view(x, n)[::n // 2]
    energy = np.sum(frames ** 2, axis=1)
    if energy.max() <= 0:
        return None
    active = frames[energy > energy.max() * 1e-4]
    spectrum = np.mean(np.abs(np.fft.rfft(active * np.hanning(n), axis=1)) ** 2, axis=0)
    # Light smoothing so single bins of codec noise do not decide the edge.
    spectrum = np.convolve(spectrum, np.ones(5) / 5, mode="same")
    freqs = np.fft.rfftfreq(n, 1 / rate)
    db = 10 * np.log10(spectrum + 1e-20)
    peak = db[(freqs >= 200) & (freqs <= 4000)].max()
    above = np.nonzero(db >= peak - 50)[0]
    return int(freqs[above[-1]])


def split_of(key):
    """Deterministic split from a stable hash of the key (speaker or file)."""
    h = int(hashlib.sha1(key.encode()).hexdigest()[:8], 16) / 0xFFFFFFFF
    return "valid" if h < VALID_SHARE else "train"


def read_manifest():
    rows = []
    with open(os.path.join(CORPUS, "MANIFEST.tsv")) as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            rows.append(dict(zip(header, line.rstrip("\n").split("\t"))))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args()
    os.makedirs(CACHE, exist_ok=True)
    rows = read_manifest()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        audio = list(pool.map(lambda r: decode(os.path.join(CORPUS, r["file"])), rows))

    index = []
    by_source = {}
    for row, x in zip(rows, audio):
        if len(x) < RATE // 4 or not np.any(x):
            continue
        bw = measure_bandwidth(x) if row["kind"] == "speech" else RATE // 2
        if bw is None:
            continue
        src = row["source"]
        chunks = by_source.setdefault(src, [])
        offset = sum(len(c) for c in chunks)
        chunks.append(x)
        if row["kind"] == "speech":
            # A single studio speaker cannot be split by speaker without
            # losing all full-band validation speech, so it is split by file.
            key = row["file"] if src == "vctk_p239" else src + "/" + row["speaker"]
        else:
            key = row["file"]
        split = "valid" if row["file"] in HELD_OUT_NOISE else split_of(key)
        index.append([row["file"], row["kind"], src, row["speaker"], offset, len(x), bw,
                      split, row.get("bandwidth_hz", "")])

    for src, chunks in by_source.items():
        np.save(os.path.join(CACHE, src + ".npy"), np.concatenate(chunks))
    with open(os.path.join(CACHE, "index.tsv"), "w") as f:
        f.write("file\tkind\tsource\tspeaker\toffset\tlength\tbandwidth_hz\tsplit\tmanifest_bw\n")
        for r in index:
            f.write("\t".join(str(v) for v in r) + "\n")
    for src in by_source:
        rs = [r for r in index if r[2] == src]
        bws = [r[6] for r in rs]
        print(f"{src}: {len(rs)} files, {sum(r[5] for r in rs) / RATE / 3600:.2f} h, "
              f"valid {sum(r[7] == 'valid' for r in rs)}, median bw {np.median(bws):.0f}",
              file=sys.stderr)


if __name__ == "__main__":
    main()
