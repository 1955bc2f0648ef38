// Checks the API's OpenAPI description with an OpenAPI 3.1 validator, then every reply the API
// test recorded (one JSON object a line: method, path, status, headers, body) against what the
// description promises for that path, method and status: the body's schema, the media type and
// the headers it names.
//
//   node check.mjs OPENAPI_JSON [REPLIES_JSONL]
import { readFileSync } from "node:fs";
import { Validator } from "@seriousme/openapi-schema-validator";
import Ajv2020 from "ajv/dist/2020.js";
import addFormats from "ajv-formats";

const [documentPath, repliesPath] = process.argv.slice(2);
const document = JSON.parse(readFileSync(documentPath, "utf8"));

const checked = await new Validator().validate(structuredClone(document));
if (!checked.valid) {
    console.error("the OpenAPI description is not valid:", JSON.stringify(checked.errors, null, 2));
    process.exit(1);
}
console.log(`${documentPath}: a valid OpenAPI ${document.openapi} description`);
if (!repliesPath) {
    process.exit(0);
}

const ajv = new Ajv2020({ strict: false, allErrors: true });
addFormats(ajv);
ajv.addSchema(document, "api");
const escape = (part) => part.replaceAll("~", "~0").replaceAll("/", "~1");
const compiled = new Map();
const validatorAt = (pointer) => {
    if (!compiled.has(pointer)) {
        compiled.set(pointer, ajv.compile({ $ref: `api#${pointer}` }));
    }
    return compiled.get(pointer);
};
// A response object and where it lives, its $ref followed.
const responseAt = (pointer, response) => {
    if (response.$ref) {
        const target = response.$ref.slice(1);
        return [target, target.split("/").slice(1).reduce((node, part) => node[part.replaceAll("~1", "/").replaceAll("~0", "~")], document)];
    }
    return [pointer, response];
};
const templates = Object.keys(document.paths).map((template) => ({
    template,
    pattern: new RegExp("^" + template.replace(/\{[^}]+\}/g, "[^/]+") + "$"),
}));

let failures = 0;
let count = 0;
const fail = (reply, why) => {
    failures += 1;
    console.error(`${reply.method} ${reply.path} -> ${reply.status}: ${why}`);
};
for (const line of readFileSync(repliesPath, "utf8").split("\n")) {
    if (!line.trim()) {
        continue;
    }
    const reply = JSON.parse(line);
    count += 1;
    const method = reply.method.toLowerCase() === "head" ? "get" : reply.method.toLowerCase();
    const mediaType = (reply.headers["content-type"] || "").split(";")[0].trim();
    const path = templates.find(({ pattern }) => pattern.test(reply.path));
    const operation = path && document.paths[path.template][method];
    if (!operation) {
        // A path or method the API does not have: 404 or 405 as a problem, or OPTIONS's 204.
        if (reply.status === 204 && method === "options") {
            continue;
        }
        if (mediaType !== "application/problem+json" || !validatorAt("/components/schemas/Problem")(reply.body)) {
            fail(reply, "an undocumented path or method not answered with a problem document");
        }
        continue;
    }
    const operationPointer = `/paths/${escape(path.template)}/${method}`;
    const declared = operation.responses[String(reply.status)];
    if (!declared) {
        fail(reply, "status not in the description");
        continue;
    }
    const [pointer, response] = responseAt(`${operationPointer}/responses/${reply.status}`, declared);
    for (const header of Object.keys(response.headers || {})) {
        if (!(header.toLowerCase() in reply.headers)) {
            fail(reply, `header ${header} missing`);
        }
    }
    if (!response.content) {
        if (reply.body !== null) {
            fail(reply, "a body where the description has none");
        }
        continue;
    }
    if (!response.content[mediaType]) {
        fail(reply, `media type ${mediaType} not in the description`);
        continue;
    }
    if (method === "get" && reply.method.toLowerCase() === "head") {
        continue;
    }
    const validate = validatorAt(`${pointer}/content/${escape(mediaType)}/schema`);
    if (!validate(reply.body)) {
        fail(reply, `body ${JSON.stringify(reply.body)} does not match: ${ajv.errorsText(validate.errors)}`);
    }
}
if (count === 0) {
    console.error(`${repliesPath}: no replies recorded`);
    process.exit(1);
}
console.log(`${count} replies checked, ${failures} not as described`);
process.exit(failures === 0 ? 0 : 1);
