// Validates an OpenAPI document with an independent implementation: the schema check and
// the semantic checks (unique operation ids, path parameters declared, $refs resolving).
//
//   node validate.mjs FILE       FILE "-" reads standard input
//
// Exits 0 when the document is valid, 1 with the validator's message when it is not, 2 on
// bad usage.
import { readFileSync } from "node:fs";
import SwaggerParser from "@apidevtools/swagger-parser";

const [file] = process.argv.slice(2);
if (!file) {
  console.error("usage: node validate.mjs FILE");
  process.exit(2);
}

let document;
try {
  document = JSON.parse(readFileSync(file === "-" ? 0 : file, "utf8"));
} catch (error) {
  console.error(`openapi: ${file} is not JSON: ${error.message}`);
  process.exit(1);
}

// What swagger-parser checks for Swagger 2.0 but not (yet) for OpenAPI 3: unique operation
// ids, and path parameters that match the path's template one to one.
function semanticErrors(api) {
  const errors = [];
  const ids = new Map();
  const methods = ["get", "put", "post", "delete", "options", "head", "patch", "trace"];
  for (const [path, item] of Object.entries(api.paths ?? {})) {
    const operations = methods.filter((m) => item[m]).map((m) => [m, item[m]]);
    for (const [m, operation] of Object.entries(item["x-custom-methods"] ?? {})) {
      operations.push([`x-custom-methods ${m}`, operation]);
    }
    const variables = [...path.matchAll(/\{([^}]+)\}/g)].map((match) => match[1]).sort();
    for (const [method, operation] of operations) {
      const where = `${method} ${path}`;
      if (operation.operationId !== undefined) {
        if (ids.has(operation.operationId)) {
          errors.push(`${where}: operationId ${operation.operationId} is also used by ` +
                      ids.get(operation.operationId));
        }
        ids.set(operation.operationId, where);
      }
      const declared = [...(item.parameters ?? []), ...(operation.parameters ?? [])]
                           .filter((parameter) => parameter.in === "path")
                           .map((parameter) => parameter.name)
                           .sort();
      if (JSON.stringify(declared) !== JSON.stringify(variables)) {
        errors.push(`${where}: path parameters [${declared}] do not match the template's ` +
                    `[${variables}]`);
      }
    }
  }
  return errors;
}

try {
  // validate() dereferences in place; keep the parsed text for the summary.
  const api = await SwaggerParser.validate(structuredClone(document));
  const errors = semanticErrors(api);
  if (errors.length > 0) throw new Error(errors.join("\n  "));
  const operations = Object.values(api.paths ?? {}).reduce(
    (count, item) => count + Object.keys(item).filter((key) => !key.startsWith("x-")).length,
    0);
  const schemas = Object.keys(document.components?.schemas ?? {}).length;
  console.log(`openapi: ${api.info.title} ${api.info.version} is valid OpenAPI ${api.openapi}: ` +
              `${Object.keys(api.paths ?? {}).length} paths, ${operations} operations, ` +
              `${schemas} schemas`);
} catch (error) {
  console.error(`openapi: invalid: ${error.message}`);
  process.exit(1);
}
