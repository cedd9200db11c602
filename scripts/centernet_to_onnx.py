#!/usr/bin/env python3
"""Converts the CenterNet TensorFlow.js graph model to ONNX for OpenCV 4.6.

Only the nodes behind the two raw heads are converted: the graph's own
decoding (TopK, Gather, ...) is left out, the SDK decodes the heads itself.
The result takes NCHW RGB 0-255 floats of any size whose sides are multiples
of 32, at any batch size, and gives

  keypoints  N x 80 x H/4 x W/4  class heat maps, after the sigmoid
  wh         N x 4 x H/4 x W/4   distances left, top, right, bottom in pixels

Every construct is one that OpenCV 4.6's ONNX importer loads and runs the
same at batch 1 and batch 4; see the comments at each choice.

Usage: centernet_to_onnx.py centernet.json centernet.onnx
(the weights file is read from the paths the JSON names, beside it).
"""

import argparse
import base64
import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OUTPUTS = {"tower_0/keypoints": "keypoints", "tower_0/wh": "wh"}
INPUT = "input"
# The size the input is declared with; any other multiple of 32 runs too.
NOMINAL_HW = (512, 512)
NHWC_TO_NCHW_AXIS = {0: 0, 1: 2, 2: 3, 3: 1}


def fail(message):
    sys.exit(f"centernet_to_onnx: {message}")


def load_graph(json_path):
    with open(json_path, encoding="utf-8") as f:
        model = json.load(f)
    if model.get("format") != "graph-model":
        fail(f"{json_path} is not a TensorFlow.js graph model")
    nodes = {n["name"]: n for n in model["modelTopology"]["node"]}
    base = os.path.dirname(os.path.abspath(json_path))
    weights = {}
    for group in model["weightsManifest"]:
        data = b"".join(open(os.path.join(base, p), "rb").read() for p in group["paths"])
        offset = 0
        for w in group["weights"]:
            count = int(np.prod(w["shape"], dtype=np.int64))
            stored = w.get("quantization", {}).get("dtype", w["dtype"])
            dtype = {"float16": np.float16, "float32": np.float32, "int32": np.int32}.get(stored)
            if dtype is None or "scale" in w.get("quantization", {}):
                fail(f"weight {w['name']} is stored as {stored}, which is not handled")
            size = count * np.dtype(dtype).itemsize
            if offset + size > len(data):
                fail(f"the weights file ends before {w['name']}")
            # tfjs widens float16 to float32 on load; so do we.
            value = np.frombuffer(data, dtype, count, offset).astype(
                np.float32 if w["dtype"] == "float32" else np.int32)
            weights[w["name"]] = value.reshape(w["shape"])
            offset += size
        if offset != len(data):
            fail("the weights file is longer than its manifest")
    return nodes, weights


def attr_string(node, key):
    return base64.b64decode(node["attr"][key]["s"]).decode()


def attr_ints(node, key):
    return [int(i) for i in node["attr"][key]["list"].get("i", [])]


def same_pads(kernel, stride):
    # TF's SAME: the total padding depends on the input size only through
    # its remainder by the stride, which is 0 for every layer when the sides
    # are multiples of 32. With stride 2 the extra pixel goes after.
    total = max(kernel - stride, 0)
    return total // 2, total - total // 2


class Converter:
    def __init__(self, nodes, weights):
        self.nodes = nodes
        self.weights = weights
        self.onnx_nodes = []
        self.initializers = []
        self.names = {}  # TF tensor -> ONNX tensor
        self.hw = {}  # ONNX tensor -> (H, W) at the nominal input size
        self.channels = {INPUT: 3}  # ONNX tensor -> C, for the batch folding
        self.initializer_shapes = {}
        self.counter = 0

    def fresh(self, hint):
        self.counter += 1
        return f"{hint}__{self.counter}"

    def const(self, hint, value):
        name = self.fresh(hint)
        value = np.asarray(value)
        self.initializers.append(numpy_helper.from_array(value, name))
        self.initializer_shapes[name] = value.shape
        return name

    def emit(self, op, inputs, hint, hw, **attrs):
        output = self.fresh(hint)
        self.onnx_nodes.append(helper.make_node(op, inputs, [output], name=output, **attrs))
        self.hw[output] = hw
        if op == "Conv":
            self.channels[output] = self.initializer_shapes[inputs[1]][0]
        elif op == "Concat":
            self.channels[output] = sum(self.channels[i] for i in inputs)
        else:
            self.channels[output] = self.channels.get(inputs[0])
        return output

    def weight(self, name):
        name = name.split(":")[0]
        if name not in self.weights:
            fail(f"{name} is not a constant")
        return self.weights[name]

    def is_const(self, name):
        return name.split(":")[0] in self.weights

    def tensor(self, tf_name):
        return self.names[tf_name.split(":")[0]]

    def convert_up_to(self, tf_name):
        # Depth first without recursion: the backbone is hundreds of nodes deep.
        stack = [(tf_name, False)]
        while stack:
            name, inputs_done = stack.pop()
            if name in self.names or self.is_const(name):
                continue
            if inputs_done:
                self.convert(name)
                continue
            node = self.nodes.get(name)
            if node is None:
                fail(f"{name} is not in the graph")
            stack.append((name, True))
            for i in node.get("input", []):
                if not i.startswith("^"):
                    stack.append((i.split(":")[0], False))

    def relu6(self, x, hint):
        # Clip with min/max inputs (opset 11) is refused by OpenCV 4.6's
        # importer; two Relus give the same values.
        hw = self.hw[x]
        low = self.emit("Relu", [x], hint + "_relu", hw)
        shifted = self.emit("Sub", [x, self.const(hint + "_six", np.float32(6))], hint + "_sub6", hw)
        high = self.emit("Relu", [shifted], hint + "_relu_above6", hw)
        return self.emit("Sub", [low, high], hint, hw)

    def conv(self, node, depthwise):
        name = node["name"]
        x = self.tensor(node["input"][0])
        kernel = self.weight(node["input"][1])
        kh, kw = kernel.shape[:2]
        if attr_string(node, "data_format") != "NHWC":
            fail(f"{name}: only NHWC convolutions are handled")
        strides = attr_ints(node, "strides")[1:3]
        dilations = attr_ints(node, "dilations")[1:3] if "dilations" in node["attr"] else [1, 1]
        if dilations != [1, 1]:
            fail(f"{name}: dilated convolutions are not handled")
        padding = attr_string(node, "padding")
        if padding == "SAME":
            (top, bottom), (left, right) = same_pads(kh, strides[0]), same_pads(kw, strides[1])
        elif padding == "VALID":
            top = bottom = left = right = 0
        else:
            fail(f"{name}: padding {padding} is not handled")
        if depthwise:
            # HWCM -> (C*M, 1, H, W), one group per input channel.
            channels = kernel.shape[2]
            w = kernel.reshape(kh, kw, -1).transpose(2, 0, 1)[:, None, :, :]
            group = channels
        else:
            w = kernel.transpose(3, 2, 0, 1)  # HWIO -> OIHW
            group = 1
        fused = []
        if "fused_ops" in node["attr"]:
            fused = [base64.b64decode(s).decode() for s in node["attr"]["fused_ops"]["list"].get("s", [])]
        inputs = [x, self.const(name + "_weights", np.ascontiguousarray(w, np.float32))]
        if fused[:1] == ["BiasAdd"]:
            inputs.append(self.const(name + "_bias", self.weight(node["input"][2]).astype(np.float32)))
            fused = fused[1:]
        elif fused:
            fail(f"{name}: fused ops {fused} are not handled")
        h, wd = self.hw[x]
        out_hw = ((h + top + bottom - kh) // strides[0] + 1, (wd + left + right - kw) // strides[1] + 1)
        y = self.emit("Conv", inputs, name, out_hw, kernel_shape=[kh, kw], strides=strides,
                      pads=[top, left, bottom, right], group=group)
        if fused == ["Relu"]:
            y = self.emit("Relu", [y], name + "_relu", out_hw)
        elif fused == ["Relu6"]:
            y = self.relu6(y, name + "_relu6")
        elif fused:
            fail(f"{name}: fused ops {fused} are not handled")
        return y

    def scalar_op(self, op, node):
        # Element-wise op with a scalar constant: a scalar keeps OpenCV 4.6
        # correct beyond batch 1, where a [1,C,1,1] constant is not.
        a, b = node["input"]
        if self.is_const(a):
            a, b = b, a
        value = self.weight(b)
        if value.size != 1:
            fail(f"{node['name']}: only scalar constants are handled")
        x = self.tensor(a)
        return self.emit(op, [x, self.const(node["name"] + "_scalar", np.float32(value.item()))],
                         node["name"], self.hw[x])

    def excite(self, x, s, hint):
        # x [N,C,H,W] times s [N,C,1,1]. OpenCV 4.6 applies such a product
        # with one scale per channel, wrong for N > 1, and cannot broadcast
        # (no Tile, Expand fails) without a fixed H x W. Folding the batch
        # into the channels gives one scale per channel again, for any
        # N, H and W: [1, N*C, H, W] * [1, N*C, 1, 1], then back.
        hw = self.hw[x]
        channels = self.channels[s]
        x1 = self.emit("Reshape", [x, self.const(hint + "_fold", np.array([1, -1, 0, 0], np.int64))],
                       hint + "_x", hw)
        s1 = self.emit("Reshape", [s, self.const(hint + "_fold_s", np.array([1, -1, 1, 1], np.int64))],
                       hint + "_s", (1, 1))
        y1 = self.emit("Mul", [x1, s1], hint + "_mul", hw)
        return self.emit("Reshape", [y1, self.const(hint + "_unfold", np.array([-1, channels, 0, 0], np.int64))],
                         hint, hw)

    def convert(self, tf_name):
        node = self.nodes[tf_name]
        op = node["op"]
        name = node["name"]
        if op == "Placeholder":
            y = INPUT
            self.hw[y] = NOMINAL_HW
        elif op == "Const":
            fail(f"{name}: a constant used as a feature map")
        elif op == "Identity":
            y = self.tensor(node["input"][0])
        elif op in ("_FusedConv2D", "Conv2D"):
            y = self.conv(node, depthwise=False)
        elif op in ("FusedDepthwiseConv2dNative", "DepthwiseConv2dNative"):
            y = self.conv(node, depthwise=True)
        elif op in ("Relu", "Sigmoid"):
            x = self.tensor(node["input"][0])
            y = self.emit(op, [x], name, self.hw[x])
        elif op == "Relu6":
            y = self.relu6(self.tensor(node["input"][0]), name)
        elif op in ("Mul", "Add", "Sub") and any(self.is_const(i) for i in node["input"]):
            if op == "Sub" and self.is_const(node["input"][0]):
                fail(f"{name}: constant minus tensor is not handled")
            y = self.scalar_op(op, node)
        elif op in ("Mul", "Add"):
            a, b = (self.tensor(i) for i in node["input"])
            if self.hw[a] == self.hw[b]:
                y = self.emit(op, [a, b], name, self.hw[a])
            elif op == "Mul" and (self.hw[a] == (1, 1) or self.hw[b] == (1, 1)):
                x, s = (a, b) if self.hw[b] == (1, 1) else (b, a)
                y = self.excite(x, s, name)
            else:
                fail(f"{name}: broadcast {self.hw[a]} by {self.hw[b]} is not handled")
        elif op == "Mean":
            axes = sorted(int(a) % 4 for a in self.weight(node["input"][1]).ravel())
            if axes != [1, 2] or not node["attr"].get("keep_dims", {}).get("b", False):
                fail(f"{name}: only a mean over H and W keeping them is handled")
            y = self.emit("GlobalAveragePool", [self.tensor(node["input"][0])], name, (1, 1))
        elif op == "ResizeBilinear":
            if node["attr"].get("align_corners", {}).get("b") or node["attr"].get("half_pixel_centers", {}).get("b"):
                fail(f"{name}: only TF's default sampling is handled")
            x = self.tensor(node["input"][0])
            size = [int(v) for v in self.weight(node["input"][1])]
            h, w = self.hw[x]
            if size[0] % h or size[1] % w:
                fail(f"{name}: resize {h}x{w} to {size} is not by a whole factor")
            # Factors, not sizes, so one model serves every input size;
            # TF's default sampling is ONNX's asymmetric one.
            scales = np.array([1, 1, size[0] // h, size[1] // w], np.float32)
            y = self.emit("Resize", [x, self.const(name + "_roi", np.zeros(0, np.float32)),
                                     self.const(name + "_scales", scales)],
                          name, tuple(size), mode="linear", coordinate_transformation_mode="asymmetric")
        elif op == "ConcatV2":
            axis = int(self.weight(node["input"][-1]).item()) % 4
            parts = [self.tensor(i) for i in node["input"][:-1]]
            y = self.emit("Concat", parts, name, self.hw[parts[0]], axis=NHWC_TO_NCHW_AXIS[axis])
        else:
            fail(f"{name}: op {op} is not handled")
        self.names[tf_name] = y

    def rename(self, old, new):
        # The heads' last nodes write the output names directly.
        for n in self.onnx_nodes:
            n.output[:] = [new if o == old else o for o in n.output]
            n.input[:] = [new if i == old else i for i in n.input]
        self.hw[new] = self.hw[old]
        self.channels[new] = self.channels[old]

    def model(self):
        outputs = []
        for tf_name, onnx_name in OUTPUTS.items():
            self.convert_up_to(tf_name)
            y = self.tensor(tf_name)
            if y == INPUT or y in OUTPUTS.values():
                fail(f"{tf_name} is not a computed tensor")
            self.rename(y, onnx_name)
            h, w = self.hw[onnx_name]
            # OpenCV 4.6 refuses graph outputs without a shape.
            outputs.append(helper.make_tensor_value_info(onnx_name, TensorProto.FLOAT,
                                                         [1, self.channels[onnx_name], h, w]))
        inputs = [helper.make_tensor_value_info(INPUT, TensorProto.FLOAT, [1, 3, *NOMINAL_HW])]
        graph = helper.make_graph(self.onnx_nodes, "centernet", inputs, outputs, self.initializers)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)],
                                  producer_name="centernet_to_onnx")
        onnx.checker.check_model(model)
        return model


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model_json", help="the TensorFlow.js graph model (centernet.json)")
    parser.add_argument("output", help="the ONNX file to write")
    args = parser.parse_args()
    nodes, weights = load_graph(args.model_json)
    model = Converter(nodes, weights).model()
    # Written beside and moved, so that an interrupted build leaves no
    # half-written model that looks up to date.
    temporary = args.output + ".partial"
    onnx.save(model, temporary)
    os.replace(temporary, args.output)


if __name__ == "__main__":
    main()
