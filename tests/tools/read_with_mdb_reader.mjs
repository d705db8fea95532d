// Prints what the npm package mdb-reader reads from an Access file, one fact a
// line: the user tables, and per table its columns, row count and rows (a row
// equal to the one before it as "same").
// Usage: node read_with_mdb_reader.mjs NODE_PREFIX FILE
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { pathToFileURL } from "node:url";

const [prefix, file] = process.argv.slice(2);
const require = createRequire(prefix + "/");
const { default: MDBReader } = await import(pathToFileURL(require.resolve("mdb-reader")).href);

const reader = new MDBReader(readFileSync(file));
const tables = reader.getTableNames();
console.log(`tables=${JSON.stringify(tables)}`);
for (const name of tables) {
  const table = reader.getTable(name);
  console.log(`${name}.columns=${table.getColumns().map((c) => `${c.name}:${c.type}`).join(",")}`);
  console.log(`${name}.rowCount=${table.rowCount}`);
  let previous = null;
  table.getData().forEach((row, i) => {
    const text = JSON.stringify(row);
    console.log(`${name}[${i}]=${text === previous ? "same" : text}`);
    previous = text;
  });
}
