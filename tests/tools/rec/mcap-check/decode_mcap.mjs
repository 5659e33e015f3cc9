// Decodes every message of an MCAP file whose channel has an "omgidl" schema, as Foxglove does:
// the schema parsed by @foxglove/omgidl-parser, the message read by @foxglove/omgidl-serialization.
// Prints one line per message, "decoded CHANNEL SEQUENCE JSON", in file order (64-bit integers as
// numbers, typed arrays as arrays); a schema or message that does not decode exits 1 and says why.
//   node decode_mcap.mjs FILE.mcap
import { McapIndexedReader } from "@mcap/core";
import { loadDecompressHandlers } from "@mcap/support";
import { parseIDL } from "@foxglove/omgidl-parser";
import { MessageReader } from "@foxglove/omgidl-serialization";
import { open } from "node:fs/promises";

const handle = await open(process.argv[2], "r");
const readable = {
  size: async () => BigInt((await handle.stat()).size),
  read: async (offset, length) => {
    const out = new Uint8Array(Number(length));
    await handle.read(out, 0, out.length, Number(offset));
    return out;
  },
};
const reader = await McapIndexedReader.Initialize({
  readable,
  decompressHandlers: await loadDecompressHandlers(),
});
const readers = new Map();
for (const [id, channel] of reader.channelsById) {
  const schema = reader.schemasById.get(channel.schemaId);
  if (!schema || schema.encoding !== "omgidl") continue;
  try {
    const text = new TextDecoder().decode(schema.data);
    readers.set(id, new MessageReader(schema.name, parseIDL(text)));
  } catch (error) {
    console.log(`schema ${schema.name} of channel ${id}: ${error.message ?? error}`);
    process.exit(1);
  }
}
const plain = (_key, value) =>
  typeof value === "bigint" ? `${value}n` : ArrayBuffer.isView(value) ? Array.from(value) : value;
const lines = [];
for await (const m of reader.readMessages()) {
  const messageReader = readers.get(m.channelId);
  if (!messageReader) continue;
  try {
    const json = JSON.stringify(messageReader.readMessage(m.data), plain).replace(/"(-?\d+)n"/g, "$1");
    lines.push(`decoded ${m.channelId} ${m.sequence} ${json}`);
  } catch (error) {
    console.log(`message ${m.sequence} of channel ${m.channelId}: ${error.message ?? error}`);
    process.exit(1);
  }
}
await handle.close();
await new Promise((done) => process.stdout.write(lines.join("\n") + "\n", done));
