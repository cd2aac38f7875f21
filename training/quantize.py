#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Quantise an exported model's convolutions to 8 bits and verify it.

The runtime fuses each convolution between a dequantised input, a
dequantised weight and a quantised output into one 8-bit convolution, which
is several times faster than in floats. Weights are quantised per output
channel to 7 bits, so that processors without 8-bit dot-product
instructions, which add pairs of products in 16 bits, cannot saturate.
Inputs and outputs get one 8-bit range each, from the largest and smallest
values on training mixtures. The DFT, the gains and everything else stay in
floats.

Checks: the contract (as export.py), that the cleaned signal of the 8-bit
model stays within 30 dB of the float model's on validation mixtures, and
the run time of both on one thread.
"""
import argparse
import os
import sys

import numpy as np
import onnx
import torch
from onnx import helper, numpy_helper

import data
import model as M
from export import check_contract, load_enhancer, run_ort, speech_segments

WEIGHT_LEVELS = 63
MIN_AGREEMENT_DB = 30.0


def calibrate(net, examples, seed):
    """The smallest and largest input and output of every convolution."""
    ranges = {}

    def watch(name):
        def record(_module, inputs, output):
            seen = ranges.get(name, (np.inf, -np.inf, np.inf, -np.inf))
            ranges[name] = (min(seen[0], float(inputs[0].min())), max(seen[1], float(inputs[0].max())),
                            min(seen[2], float(output.min())), max(seen[3], float(output.max())))
        return record

    hooks = [module.register_forward_hook(watch(name)) for name, module in net.named_modules()
             if isinstance(module, torch.nn.Conv1d)]
    corpus = data.Corpus("train")
    rng = np.random.default_rng(seed)
    with torch.no_grad():
        for _ in range(examples):
            noisy = data.make_example(corpus, rng, M.SEGMENT)[0]
            net.enhance(torch.from_numpy(noisy).reshape(1, -1), matrix=True)
    for hook in hooks:
        hook.remove()
    return ranges


def activation_scale(low, high):
    """Scale and zero point of an unsigned 8-bit range that holds low..high and 0."""
    low, high = min(low, 0.0), max(high, 0.0)
    scale = (high - low) / 255 or 1e-8
    return np.float32(scale), np.uint8(np.clip(round(-low / scale), 0, 255))


def quantised(proto, ranges):
    """`proto` with every convolution of constant weights between quantisation steps."""
    graph = proto.graph
    initialisers = {i.name: i for i in graph.initializer}
    nodes, added = [], []

    def constant(name, value):
        added.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    count = 0
    for node in graph.node:
        if node.op_type != "Conv" or node.input[1] not in initialisers:
            nodes.append(node)
            continue
        module = node.input[1].removeprefix("enhancer.").rsplit(".", 1)[0]
        in_low, in_high, out_low, out_high = ranges[module]
        key = f"int8_{count}_"
        count += 1
        in_scale, in_zero = activation_scale(in_low, in_high)
        out_scale, out_zero = activation_scale(out_low, out_high)
        weight = numpy_helper.to_array(initialisers[node.input[1]]).astype(np.float32)
        weight_scale = np.abs(weight).reshape(weight.shape[0], -1).max(1) / WEIGHT_LEVELS
        weight_scale = np.where(weight_scale > 0, weight_scale, 1e-8).astype(np.float32)
        shape = (-1,) + (1,) * (weight.ndim - 1)
        weight_q = np.clip(np.round(weight / weight_scale.reshape(shape)), -WEIGHT_LEVELS, WEIGHT_LEVELS)
        nodes += [
            helper.make_node("QuantizeLinear", [node.input[0], constant(key + "in_scale", in_scale),
                                                constant(key + "in_zero", in_zero)], [key + "in_q"]),
            helper.make_node("DequantizeLinear", [key + "in_q", key + "in_scale", key + "in_zero"], [key + "in"]),
            helper.make_node("DequantizeLinear", [constant(key + "w_q", weight_q.astype(np.int8)),
                                                  constant(key + "w_scale", weight_scale),
                                                  constant(key + "w_zero", np.zeros(len(weight_scale), np.int8))],
                             [key + "w"], axis=0),
        ]
        inputs = [key + "in", key + "w"]
        if len(node.input) > 2 and node.input[2] in initialisers:
            bias = numpy_helper.to_array(initialisers[node.input[2]]).astype(np.float32)
            bias_scale = (in_scale * weight_scale).astype(np.float32)
            nodes.append(helper.make_node(
                "DequantizeLinear", [constant(key + "b_q", np.round(bias / bias_scale).astype(np.int32)),
                                     constant(key + "b_scale", bias_scale),
                                     constant(key + "b_zero", np.zeros(len(bias), np.int32))],
                [key + "b"], axis=0))
            inputs.append(key + "b")
        conv = helper.make_node("Conv", inputs, [key + "out"], name=node.name)
        conv.attribute.extend(node.attribute)
        nodes += [
            conv,
            helper.make_node("QuantizeLinear", [key + "out", constant(key + "out_scale", out_scale),
                                                constant(key + "out_zero", out_zero)], [key + "out_q"]),
            helper.make_node("DequantizeLinear", [key + "out_q", key + "out_scale", key + "out_zero"],
                             [node.output[0]]),
        ]
    del graph.node[:]
    graph.node.extend(nodes)
    used = {name for node in graph.node for name in node.input}
    kept = [i for i in graph.initializer if i.name in used] + added
    del graph.initializer[:]
    graph.initializer.extend(kept)
    return proto, count


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("model", help="an exported float model (.onnx)")
    ap.add_argument("--out", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--examples", type=int, default=32, help="training mixtures for the ranges")
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--timing-runs", type=int, default=30)
    args = ap.parse_args()

    torch.set_num_threads(2)
    proto = onnx.load(args.model)
    if any(node.op_type == "QuantizeLinear" for node in proto.graph.node):
        sys.exit(f"{args.model} is quantised already")
    net = load_enhancer(args.model)
    proto, count = quantised(proto, calibrate(net, args.examples, args.seed))
    for entry in proto.metadata_props:
        if entry.key == "version":
            entry.value = args.version
        if entry.key == "description":
            entry.value += " Convolutions in 8 bits."
    tmp = args.out + ".tmp"
    onnx.save(proto, tmp)
    check_contract(tmp)

    segments = speech_segments()
    reference, float_timing = run_ort(args.model, segments, threads=1, timing_runs=args.timing_runs)
    got, timing = run_ort(tmp, segments, threads=1, timing_runs=args.timing_runs)
    # The model gives the component to subtract; what a user hears is the rest.
    float_cleaned, int8_cleaned = segments - reference, segments - got
    agreement = 10 * np.log10(np.sum(float_cleaned ** 2) / np.sum((float_cleaned - int8_cleaned) ** 2))
    print(f"{count} convolutions in 8 bits, {os.path.getsize(tmp) / 1e6:.2f} MB; cleaned signal against the float "
          f"model's: {agreement:.1f} dB")
    if timing:
        print(f"runtime, 1 thread: {timing[0]:.2f} ms against {float_timing[0]:.2f} ms per segment (means; "
              f"minima {timing[1]:.2f} and {float_timing[1]:.2f})")
    if agreement < MIN_AGREEMENT_DB:
        os.remove(tmp)
        sys.exit("the 8-bit model strays too far from the float model")
    os.replace(tmp, args.out)


if __name__ == "__main__":
    main()
