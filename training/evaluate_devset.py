#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Score a model on the real noisy/clean pairs of the shared development set,
through the real command-line program, and print a table per group.

Each noisy file is cleaned by vesh-cli with "same format" output (the file's
own rate and encoding, as a user gets it), then scored against its clean
pair: SI-SDR at the file's rate, ESTOI at 16 kHz. The six 48 kHz recordings
are also scored resampled to 16 kHz (noisy and clean alike, then cleaned),
which shows how the model copes with band-limited input of the same speech.
"""
import argparse
import json
import os
import subprocess
import tempfile

import numpy as np
import soundfile

import evaluate
import export

DEVSET = os.path.join(os.path.dirname(evaluate.ROOT), "shared", "devset")
GROUPS = ("VoiceBank-DEMAND 16 kHz", "VoiceBank-DEMAND 48 kHz", "DNS 16 kHz")


def group_of(name, rate):
    if name.startswith("dns"):
        return GROUPS[2]
    return GROUPS[1] if rate == 48000 else GROUPS[0]


def read(path):
    """(samples of the first channel, rate) of a WAV file."""
    x, rate = soundfile.read(path, always_2d=True)
    return x[:, 0], rate


def to_16k(src, dst):
    """Band-limited resampling to 16 kHz with a high-quality resampler."""
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", src, "-af",
                    "aresample=resampler=soxr:precision=28", "-ar", "16000", "-c:a", "pcm_f32le", dst],
                   check=True)


def resample_16k(x, rate):
    return x if rate == 16000 else evaluate.resample(x, rate, 16000)


def clean_files(cli, model, paths, out_dir, mix=1.0):
    env = dict(os.environ)
    if model:
        env["VESH_MODEL_PATH"] = os.path.abspath(model)
    subprocess.run([cli, "--quiet", "--same-format", "--if-exists", "replace", "--mix", str(mix),
                    "-o", out_dir] + paths, check=True, env=env)
    return [os.path.join(out_dir, os.path.basename(p)) for p in paths]


def score(noisy, clean, out):
    (y, rate), (x, _), (s, _) = read(out), read(clean), read(noisy)
    n = min(len(x), len(y))
    return {"si_sdr": evaluate.si_sdr(y[:n], x[:n]), "si_sdr_in": evaluate.si_sdr(s[:n], x[:n]),
            "estoi": evaluate.estoi(resample_16k(x[:n], rate), resample_16k(y[:n], rate), 16000),
            "estoi_in": evaluate.estoi(resample_16k(x[:n], rate), resample_16k(s[:n], rate), 16000),
            "rate": rate}


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--model", default=export.SHIPPED)
    ap.add_argument("--cli", default=None, help="the command-line program (default: found in build*/)")
    ap.add_argument("--devset", default=DEVSET)
    ap.add_argument("--json", default=None, help="also write the per-file figures here")
    ap.add_argument("--mix", type=float, default=1.0, help="share of the enhanced signal (vesh-cli --mix)")
    args = ap.parse_args()
    cli = args.cli or evaluate.default_cli()
    names = sorted(f for f in os.listdir(os.path.join(args.devset, "noisy")) if f.endswith(".wav"))
    noisy = [os.path.join(args.devset, "noisy", f) for f in names]
    clean = [os.path.join(args.devset, "clean", f) for f in names]

    with tempfile.TemporaryDirectory() as tmp:
        for d in ("out", "n16", "c16", "o16"):
            os.makedirs(os.path.join(tmp, d))
        outputs = clean_files(cli, args.model, noisy, os.path.join(tmp, "out"), args.mix)
        results = {}
        for name, n, c, o in zip(names, noisy, clean, outputs):
            r = score(n, c, o)
            r["group"] = group_of(name, r["rate"])
            results[name] = r
        # The 48 kHz recordings again, band-limited to 16 kHz before cleaning.
        wide = [k for k, name in enumerate(names) if results[name]["rate"] == 48000]
        n16, c16 = [], []
        for k in wide:
            n16.append(os.path.join(tmp, "n16", names[k]))
            c16.append(os.path.join(tmp, "c16", names[k]))
            to_16k(noisy[k], n16[-1])
            to_16k(clean[k], c16[-1])
        narrow = {}
        if wide:
            for k, n, c, o in zip(wide, n16, c16, clean_files(cli, args.model, n16, os.path.join(tmp, "o16"), args.mix)):
                narrow[names[k]] = score(n, c, o)

    def means(rs, key):
        return float(np.mean([r[key] for r in rs]))
    lines = ["| group | pairs | SI-SDR in | SI-SDR out | ESTOI in | ESTOI out |", "|---|---|---|---|---|---|"]
    summary = {}
    for g in GROUPS + ("all",):
        rs = [r for r in results.values() if g in ("all", r["group"])]
        summary[g] = {k: means(rs, k) for k in ("si_sdr_in", "si_sdr", "estoi_in", "estoi")}
        s = summary[g]
        lines.append(f"| {g} | {len(rs)} | {s['si_sdr_in']:.2f} | {s['si_sdr']:.2f} | "
                     f"{s['estoi_in']:.3f} | {s['estoi']:.3f} |")
    if narrow:
        rs = list(narrow.values())
        summary["48 kHz set at 16 kHz"] = {k: means(rs, k) for k in ("si_sdr_in", "si_sdr", "estoi_in", "estoi")}
        s = summary["48 kHz set at 16 kHz"]
        lines.append(f"| VoiceBank-DEMAND 48 kHz, resampled to 16 kHz | {len(rs)} | {s['si_sdr_in']:.2f} | "
                     f"{s['si_sdr']:.2f} | {s['estoi_in']:.3f} | {s['estoi']:.3f} |")
    print(f"Model: {args.model}; program: {cli}")
    print("\n".join(lines))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"summary": summary, "files": results, "band_limited": narrow}, f, indent=1)


if __name__ == "__main__":
    main()
