// Just enough PNG for the tests: reading the server's renders (8-bit RGB or RGBA, not
// interlaced) into RGBA, and writing RGBA pictures of a failed comparison.
import zlib from "node:zlib";

const Signature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);

const crcTable = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) {
      c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    }
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes) {
  let c = 0xffffffff;
  for (const byte of bytes) {
    c = crcTable[(c ^ byte) & 0xff] ^ (c >>> 8);
  }
  return (c ^ 0xffffffff) >>> 0;
}

function paeth(a, b, c) {
  const p = a + b - c;
  const pa = Math.abs(p - a);
  const pb = Math.abs(p - b);
  const pc = Math.abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// { width, height, rgba }; throws an Error naming what it cannot read. Checks every CRC.
export function decodePng(buffer) {
  if (buffer.length < 8 || !buffer.subarray(0, 8).equals(Signature)) {
    throw new Error("not a PNG");
  }
  let header = null;
  const compressed = [];
  for (let at = 8; at + 12 <= buffer.length;) {
    const length = buffer.readUInt32BE(at);
    const type = buffer.toString("latin1", at + 4, at + 8);
    if (at + 12 + length > buffer.length) {
      throw new Error(`PNG chunk ${type} runs past the end`);
    }
    const data = buffer.subarray(at + 8, at + 8 + length);
    if (crc32(buffer.subarray(at + 4, at + 8 + length)) !== buffer.readUInt32BE(at + 8 + length)) {
      throw new Error(`PNG chunk ${type} has a bad CRC`);
    }
    if (type === "IHDR") {
      header = {
        width: data.readUInt32BE(0),
        height: data.readUInt32BE(4),
        depth: data[8],
        colorType: data[9],
        interlace: data[12],
      };
    } else if (type === "IDAT") {
      compressed.push(data);
    } else if (type === "IEND") {
      break;
    }
    at += 12 + length;
  }
  if (
    !header ||
    header.depth !== 8 ||
    header.interlace !== 0 ||
    ![2, 6].includes(header.colorType)
  ) {
    throw new Error(`unsupported PNG ${JSON.stringify(header)}`);
  }
  const { width, height } = header;
  const channels = header.colorType === 6 ? 4 : 3;
  const stride = width * channels;
  const raw = zlib.inflateSync(Buffer.concat(compressed));
  if (raw.length < height * (stride + 1)) {
    throw new Error("PNG pixel data too short");
  }
  const rows = Buffer.alloc(height * stride);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    const out = rows.subarray(y * stride, (y + 1) * stride);
    const prior = y > 0 ? rows.subarray((y - 1) * stride, y * stride) : Buffer.alloc(stride);
    for (let i = 0; i < stride; i++) {
      const a = i >= channels ? out[i - channels] : 0;
      const b = prior[i];
      const c = i >= channels ? prior[i - channels] : 0;
      const predictor = [0, a, b, (a + b) >> 1, paeth(a, b, c)][filter];
      if (predictor === undefined) {
        throw new Error(`PNG row ${y} has filter ${filter}`);
      }
      out[i] = (line[i] + predictor) & 0xff;
    }
  }
  const rgba = new Uint8Array(width * height * 4);
  for (let p = 0; p < width * height; p++) {
    rgba[p * 4] = rows[p * channels];
    rgba[p * 4 + 1] = rows[p * channels + 1];
    rgba[p * 4 + 2] = rows[p * channels + 2];
    rgba[p * 4 + 3] = channels === 4 ? rows[p * channels + 3] : 255;
  }
  return { width, height, rgba };
}

function chunk(type, data) {
  const out = Buffer.alloc(12 + data.length);
  out.writeUInt32BE(data.length, 0);
  out.write(type, 4, "latin1");
  data.copy(out, 8);
  out.writeUInt32BE(crc32(out.subarray(4, 8 + data.length)), 8 + data.length);
  return out;
}

// An 8-bit RGBA PNG. Rows take the five filters in turn, so that reading back what this wrote
// exercises every filter of the reader.
export function encodePng(width, height, rgba) {
  const stride = width * 4;
  const raw = Buffer.alloc(height * (stride + 1));
  for (let y = 0; y < height; y++) {
    const filter = y % 5;
    raw[y * (stride + 1)] = filter;
    for (let i = 0; i < stride; i++) {
      const at = y * stride + i;
      const a = i >= 4 ? rgba[at - 4] : 0;
      const b = y > 0 ? rgba[at - stride] : 0;
      const c = i >= 4 && y > 0 ? rgba[at - stride - 4] : 0;
      const predictor = [0, a, b, (a + b) >> 1, paeth(a, b, c)][filter];
      raw[y * (stride + 1) + 1 + i] = (rgba[at] - predictor) & 0xff;
    }
  }
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header[8] = 8;
  header[9] = 6;
  return Buffer.concat([
    Signature,
    chunk("IHDR", header),
    chunk("IDAT", zlib.deflateSync(raw)),
    chunk("IEND", Buffer.alloc(0)),
  ]);
}

// Where two RGBA pictures of one size differ by more than `tolerance` in any channel: how many
// pixels, and the first one.
export function comparePictures(actual, expected, tolerance = 0) {
  if (actual.width !== expected.width || actual.height !== expected.height) {
    return { sizeDiffers: true, differing: actual.width * actual.height, first: null };
  }
  let differing = 0;
  let first = null;
  for (let p = 0; p < actual.width * actual.height; p++) {
    for (let c = 0; c < 4; c++) {
      if (Math.abs(actual.rgba[p * 4 + c] - expected.rgba[p * 4 + c]) > tolerance) {
        differing++;
        if (!first) {
          first = {
            x: p % actual.width,
            y: Math.floor(p / actual.width),
            actual: Array.from(actual.rgba.subarray(p * 4, p * 4 + 4)),
            expected: Array.from(expected.rgba.subarray(p * 4, p * 4 + 4)),
          };
        }
        break;
      }
    }
  }
  return { sizeDiffers: false, differing, first };
}
