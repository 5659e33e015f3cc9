// Writes an MCAP file as a foreign recorder would, with @mcap/core: one "cdr" channel of ddsperf's
// topic DDSPerfRDataKS without this recorder's metadata, its type named by an omgidl schema, and
// COUNT KeyedSeq samples of SIZE bytes (sequence from 1, key 0, baggage filling the rest) behind
// their encapsulation header, INTERVAL_NS apart by log time, in chunks of about 64 KiB.
//   node write_keyedseq.mjs OUT.mcap COUNT SIZE INTERVAL_NS
import { McapWriter } from "@mcap/core";
import { writeFile } from "node:fs/promises";

const [out, count, size, interval] = process.argv.slice(2);
const pieces = [];
let position = 0n;
const writable = {
  write: async (buffer) => {
    pieces.push(Buffer.from(buffer));
    position += BigInt(buffer.length);
  },
  position: () => position,
};
const keyedSeq = (sequence) => {
  const data = Buffer.alloc(4 + Number(size));
  data.set([0x00, 0x01, 0x00, 0x00]);  // CDR little-endian
  data.writeUInt32LE(sequence, 4);
  data.writeUInt32LE(0, 8);  // key
  data.writeUInt32LE(Number(size) - 12, 12);  // baggage length
  return data;
};

const writer = new McapWriter({ writable, useChunks: true, chunkSize: 65536 });
await writer.start({ profile: "", library: "keyedseq-writer" });
const schemaId = await writer.registerSchema({
  name: "KeyedSeq",
  encoding: "omgidl",
  data: new TextEncoder().encode(
    "struct KeyedSeq { unsigned long seq; @key unsigned long keyval; sequence<octet> baggage; };"),
});
const channelId = await writer.registerChannel({
  topic: "DDSPerfRDataKS",
  messageEncoding: "cdr",
  schemaId,
  metadata: new Map(),
});
const start = 1_700_000_000_000_000_000n;
for (let sequence = 1; sequence <= Number(count); sequence++) {
  const time = start + BigInt(sequence) * BigInt(interval);
  await writer.addMessage({ channelId, sequence, logTime: time, publishTime: time, data: keyedSeq(sequence) });
}
await writer.end();
await writeFile(out, Buffer.concat(pieces));
