// Parses an IDL file with @foxglove/omgidl-parser, as Foxglove does with an "omgidl" schema, and
// prints the name of each definition it found, one a line; a syntax or resolution error exits 1.
import { parseIDL } from "@foxglove/omgidl-parser";
import { readFileSync } from "node:fs";

try {
  for (const definition of parseIDL(readFileSync(process.argv[2], "utf8"))) {
    console.log(definition.name);
  }
} catch (error) {
  console.log(String(error.message ?? error));
  process.exit(1);
}
