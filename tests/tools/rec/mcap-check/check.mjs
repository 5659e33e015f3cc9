// Reads an MCAP file with @mcap/core (and @mcap/support's LZ4 and Zstandard decoders) and prints
// what it holds, one fact per line, so that the writer and export tests can compare it with what
// they wrote. Throws on anything the library rejects.
//   node check.mjs FILE.mcap
//   node check.mjs --stream FILE.mcap   only the sequential pass, for a file without its summary:
//                                       channels and messages as met, then how far it read
import { crc32 } from "@foxglove/crc";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { loadDecompressHandlers } from "@mcap/support";
import { open, readFile } from "node:fs/promises";

const streamOnly = process.argv[2] === "--stream";
const path = process.argv[streamOnly ? 3 : 2];
const hex = (data) => Buffer.from(data).toString("hex");
if (streamOnly) {
  // Read in pieces, with each message's first 32 bytes only: the file may be larger than memory.
  const stream = new McapStreamReader({ validateCrcs: true, decompressHandlers: await loadDecompressHandlers() });
  const file = await open(path, "r");
  const piece = new Uint8Array(1 << 24);
  const lines = [];
  let streamed = 0;
  for (let n; (n = (await file.read(piece, 0, piece.length, null)).bytesRead) > 0; ) {
    stream.append(piece.slice(0, n));
    for (let record; (record = stream.nextRecord()); ) {
      if (record.type === "Channel") {
        const metadata = [...record.metadata].map(([k, v]) => `${k}=${v}`).join(" ");
        lines.push(`channel ${record.id} ${record.topic} ${record.messageEncoding} schema=${record.schemaId} ${metadata}`);
      } else if (record.type === "Message") {
        streamed++;
        lines.push(`message ${record.channelId} ${record.sequence} ${record.logTime} ${record.publishTime} ${hex(record.data.subarray(0, 32))}`);
      }
    }
  }
  await file.close();
  lines.push(`streamed ${streamed} done=${stream.done()}`);
  // Written out before the exit: a pipe takes large output in several writes.
  await new Promise((done) => process.stdout.write(lines.join("\n") + "\n", done));
  process.exit(0);
}
const bytes = new Uint8Array(await readFile(path));
const handle = await open(path, "r");
const readable = {
  size: async () => BigInt(bytes.length),
  read: async (offset, length) => {
    const out = new Uint8Array(Number(length));
    await handle.read(out, 0, out.length, Number(offset));
    return out;
  },
};
const decompressHandlers = await loadDecompressHandlers();
const reader = await McapIndexedReader.Initialize({ readable, decompressHandlers });
const lines = [];

for (const [id, schema] of reader.schemasById) {
  lines.push(`schema ${id} ${schema.name} ${schema.encoding} ${hex(schema.data)}`);
}
for (const [id, channel] of reader.channelsById) {
  const metadata = [...channel.metadata].map(([k, v]) => `${k}=${v}`).join(" ");
  lines.push(`channel ${id} ${channel.topic} ${channel.messageEncoding} schema=${channel.schemaId} ${metadata}`);
}
const s = reader.statistics;
lines.push(`statistics messages=${s.messageCount} schemas=${s.schemaCount} channels=${s.channelCount} ` +
  `metadata=${s.metadataCount} start=${s.messageStartTime} end=${s.messageEndTime}`);
for (const [id, count] of s.channelMessageCounts) lines.push(`count ${id} ${count}`);
const compressions = new Set(reader.chunkIndexes.map((c) => c.compression || "none"));
lines.push(`chunks statistics=${s.chunkCount} indexes=${reader.chunkIndexes.length} ` +
  `compression=${[...compressions].join(",")}`);
for await (const m of reader.readMetadata()) {
  lines.push(`metadata ${m.name} ${[...m.metadata].map(([k, v]) => `${k}=${v}`).join(" ")}`);
}
const messages = [];
for await (const m of reader.readMessages({ validateCrcs: true })) {
  messages.push(`message ${m.channelId} ${m.sequence} ${m.logTime} ${m.publishTime} ${hex(m.data)}`);
}
lines.push(...messages.sort());

// A second, sequential pass over every record checks the chunk CRCs and the record framing.
const stream = new McapStreamReader({ validateCrcs: true, decompressHandlers });
stream.append(bytes);
let streamed = 0;
for (let record; (record = stream.nextRecord()); ) {
  if (record.type === "Message") streamed++;
}
lines.push(`streamed ${streamed} done=${stream.done()}`);
const dataCrc = crc32(bytes.subarray(0, Number(reader.dataEndOffset)));
lines.push(`data_crc ${reader.dataSectionCrc === dataCrc ? "ok" : `bad ${reader.dataSectionCrc} != ${dataCrc}`}`);
await handle.close();
console.log(lines.join("\n"));
