// Writes an MCAP file as rosbag2 and other recorders do, with @mcap/core: a ros2msg schema, a "cdr"
// channel without the recorder's metadata, and ddsperf KeyedSeq samples (sequence, key, empty
// baggage) behind their encapsulation header, in small chunks, with one sequence number skipped.
//   node write_foreign.mjs OUT.mcap
import { McapWriter } from "@mcap/core";
import { writeFile } from "node:fs/promises";

const pieces = [];
let size = 0n;
const writable = {
  write: async (buffer) => {
    pieces.push(Buffer.from(buffer));
    size += BigInt(buffer.length);
  },
  position: () => size,
};
const keyedSeq = (sequence, key) => {
  const data = Buffer.alloc(16);
  data.set([0x00, 0x01, 0x00, 0x00]);  // CDR little-endian
  data.writeUInt32LE(sequence, 4);
  data.writeUInt32LE(key, 8);
  data.writeUInt32LE(0, 12);  // baggage length
  return data;
};

const write = async (writer, channelId, sequence) =>
  writer.addMessage({
    channelId,
    sequence,
    logTime: 1_700_000_000_000_000_000n + BigInt(sequence) * 1_000_000n,
    publishTime: 1_700_000_000_000_000_000n + BigInt(sequence) * 1_000_000n - 5n,
    data: keyedSeq(sequence, 7),
  });

const writer = new McapWriter({ writable, useChunks: true, chunkSize: 40 });
await writer.start({ profile: "ros2", library: "foreign-writer" });
const schemaId = await writer.registerSchema({
  name: "KeyedSeq",
  encoding: "ros2msg",
  data: new TextEncoder().encode("uint32 seq\nuint32 keyval\nuint8[] baggage"),
});
const channelId = await writer.registerChannel({
  topic: "/KeyedSeq",
  messageEncoding: "cdr",
  schemaId,
  metadata: new Map([["offered_qos_profiles", ""]]),
});
for (const sequence of [1, 2, 4]) await write(writer, channelId, sequence);
await writer.end();
await writeFile(process.argv[2], Buffer.concat(pieces));
