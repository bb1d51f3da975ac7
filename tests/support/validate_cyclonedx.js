'use strict';
// Validates CycloneDX 1.6 JSON documents against the official schema, with the JSON validator
// of @cyclonedx/cyclonedx-library (ajv with formats), which tools/install-test-deps.sh installs
// under release/tools/npm. Prints the schema errors of each document that fails; exits 1 then.
// Usage: node tests/support/validate_cyclonedx.js FILE...
const fs = require('node:fs');
const path = require('node:path');

const release = process.env.TARNQUILL_RELEASE || path.resolve(__dirname, '..', '..', 'release');
const cdx = require(path.join(release, 'tools', 'npm', 'node_modules', '@cyclonedx',
    'cyclonedx-library'));

async function main(files) {
    // The library names schema versions by their plain text.
    const validator = new cdx.Validation.JsonValidator('1.6');
    let failed = false;
    for (const file of files) {
        const errors = await validator.validate(fs.readFileSync(file, 'utf8'));
        if (errors !== null) {
            failed = true;
            console.log(`${file}: ${JSON.stringify(errors)}`);
        }
    }
    return failed || files.length === 0 ? 1 : 0;
}

main(process.argv.slice(2)).then((status) => {
    process.exitCode = status;
});
