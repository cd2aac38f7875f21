#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Export a checkpoint to the shipped ONNX model and verify it.

Checks: onnx.checker, the input/output contract, metadata, file size, parity
of the C++ runtime against PyTorch on real speech, and the runtime's run time
on 2 threads.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
import onnx
import torch

import model as M

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SHIPPED = os.path.join(ROOT, "src", "resources", "FullBandSpeechEnhancer_FullBandSpeechEnhancer.bundle",
                       "Model.onnx")
ORT_DIR = os.path.join(ROOT, "third_party", "onnxruntime")
ORT_RUN = os.path.join(HERE, "bin", "ort_run")
INPUT_NAME, OUTPUT_NAME = "signal", "var_2304"
MAX_BYTES = 20 * 1024 * 1024


def build_ort_run():
    """Compile the small runtime driver when missing or older than its source."""
    src = os.path.join(HERE, "ort_run.cpp")
    if os.path.exists(ORT_RUN) and os.path.getmtime(ORT_RUN) >= os.path.getmtime(src):
        return ORT_RUN
    os.makedirs(os.path.dirname(ORT_RUN), exist_ok=True)
    subprocess.run(["g++", "-O2", "-std=c++20", "-I", os.path.join(ORT_DIR, "include"), src,
                    "-L", os.path.join(ORT_DIR, "lib"), "-l:libonnxruntime.so.1",
                    "-Wl,-rpath," + os.path.join(ORT_DIR, "lib"), "-o", ORT_RUN], check=True)
    return ORT_RUN


def run_ort(model_path, segments, threads=2, timing_runs=0):
    """Run [k, SEGMENT] float32 segments through the C++ runtime."""
    build_ort_run()
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")
        np.ascontiguousarray(segments, dtype=np.float32).tofile(src)
        out = subprocess.run([ORT_RUN, model_path, src, dst, str(threads), str(timing_runs)],
                             check=True, capture_output=True, text=True).stdout
        result = np.fromfile(dst, dtype=np.float32).reshape(-1, M.SEGMENT)
    timing = None
    if timing_runs:
        fields = out.split()
        timing = (float(fields[fields.index("mean_ms") + 1]), float(fields[fields.index("min_ms") + 1]))
    return result, timing


def load_enhancer(checkpoint):
    """A training checkpoint, or an exported model whose weights go into today's graph."""
    if checkpoint.endswith(".onnx"):
        from train import load_onnx_weights
        shapes = {i.name.removeprefix("enhancer."): list(i.dims) for i in onnx.load(checkpoint).graph.initializer}
        arch = dict(M.MASK_ONLY)
        if "phase_input.weight" in shapes:
            bins = shapes["phase_input.weight"][1] // 2
            arch = {"filter_bins": bins, "filter_reach": (shapes["filter_head.weight"][0] // (2 * bins) - 1) // 2}
        net = M.Enhancer(**arch)
        load_onnx_weights(net, checkpoint)
        return net.eval()
    state = torch.load(checkpoint, map_location="cpu")
    net = M.Enhancer.from_state(state)
    net.load_state_dict(state.get("averaged", state["model"]))
    return net.eval()


def export(net, path, version, description):
    wrapper = M.ExportWrapper(net).eval()
    dummy = torch.zeros(1, 1, 1, M.SEGMENT)
    tmp = path + ".tmp"
    torch.onnx.export(wrapper, dummy, tmp, opset_version=17, input_names=[INPUT_NAME],
                      output_names=[OUTPUT_NAME], do_constant_folding=True)
    proto = onnx.load(tmp)
    for key, value in (("description", description), ("author", "Vesh"), ("version", version)) + framing():
        entry = proto.metadata_props.add()
        entry.key, entry.value = key, value
    onnx.save(proto, tmp)
    os.replace(tmp, path)


def framing():
    """The metadata entries that tell the application how to cut a signal for the model."""
    return (("segment_length", str(M.SEGMENT)), ("segment_overlap", str(M.OVERLAP)), ("sample_rate", str(M.RATE)))


def check_contract(path):
    """Raise when the file breaks what the application relies on."""
    proto = onnx.load(path)
    onnx.checker.check_model(proto, full_check=True)
    assert os.path.getsize(path) <= MAX_BYTES, "model file over 20 MB"
    assert any(o.version == 17 for o in proto.opset_import if o.domain in ("", "ai.onnx")), "not opset 17"
    inputs = [i for i in proto.graph.input if i.name not in {t.name for t in proto.graph.initializer}]
    assert [i.name for i in inputs] == [INPUT_NAME], inputs
    dims = [d.dim_value for d in inputs[0].type.tensor_type.shape.dim]
    assert dims == [1, 1, 1, M.SEGMENT], dims
    assert inputs[0].type.tensor_type.elem_type == onnx.TensorProto.FLOAT
    assert [o.name for o in proto.graph.output] == [OUTPUT_NAME]
    out = proto.graph.output[0].type.tensor_type
    assert out.elem_type == onnx.TensorProto.FLOAT
    assert int(np.prod([d.dim_value for d in out.shape.dim])) == M.SEGMENT
    meta = {p.key: p.value for p in proto.metadata_props}
    assert meta.get("author") == "Vesh" and meta.get("description") and meta.get("version"), meta
    assert all(meta.get(key) == value for key, value in framing()), meta
    return meta


def speech_segments(count=3, seed=0):
    """Loudness-normalised validation mixtures as real-audio parity input."""
    import data
    corpus = data.Corpus("valid")
    rng = np.random.default_rng(seed)
    return np.stack([data.make_example(corpus, rng, M.SEGMENT, snr_db=5.0, kind="mix")[0]
                     for _ in range(count)])


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("checkpoint", help="a training checkpoint (.pt) or an exported model (.onnx)")
    ap.add_argument("--out", default=SHIPPED)
    ap.add_argument("--version", default="1.0.0")
    ap.add_argument("--timing-runs", type=int, default=30)
    args = ap.parse_args()

    torch.set_num_threads(2)
    net = load_enhancer(args.checkpoint)
    n_params = sum(p.numel() for p in net.parameters())
    stage = (f", and a complex filter over {2 * net.filter_reach + 1} frames for the bins up to "
             f"{(net.filter_bins - 1) * M.RATE // M.N_FFT} Hz" if net.filter_bins else "")
    description = ("Speech noise removal for 48 kHz mono: 20 ms sqrt-Hann STFT, ERB band gains plus "
                   f"per-bin mask from dilated temporal convolutions{stage} ({n_params / 1e6:.2f} M parameters). "
                   f"Input: {M.SEGMENT} samples normalised to -24 LUFS. Output: the noise component to subtract.")
    export(net, args.out, args.version, description)
    meta = check_contract(args.out)
    print(f"exported {args.out} ({os.path.getsize(args.out) / 1e6:.2f} MB), metadata {sorted(meta)}")

    segments = speech_segments()
    with torch.no_grad():
        ref = np.concatenate([M.ExportWrapper(net)(torch.from_numpy(s).reshape(1, 1, 1, -1)).reshape(1, -1).numpy()
                              for s in segments])
        fft_path = np.stack([s - net.enhance(torch.from_numpy(s)[None])[0].numpy() for s in segments])
    got, timing = run_ort(args.out, segments, threads=2, timing_runs=args.timing_runs)
    diff = np.abs(got - ref).max()
    diff_fft = np.abs(got - fft_path).max()
    print(f"parity: max |runtime - torch export path| = {diff:.2e}, "
          f"max |runtime - torch training path| = {diff_fft:.2e}, signal peak {np.abs(segments).max():.2f}")
    if timing:
        print(f"runtime, 2 threads: mean {timing[0]:.1f} ms, min {timing[1]:.1f} ms per 2.048 s segment "
              f"(real-time factor {timing[0] / 2048:.4f})")
    if diff > 1e-3 or diff_fft > 1e-3:
        sys.exit("parity check failed")


if __name__ == "__main__":
    main()
