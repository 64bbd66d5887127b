// Where the programs under test are: the native build's folder unless the caller names each.
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
export const repoRoot = path.resolve(here, "../../..");
export const buildDir = process.env.VELMO_BUILD_DIR ?? path.join(repoRoot, "build");
export const serverBinary =
  process.env.VELMO_SERVER_BINARY ?? path.join(buildDir, "server/velmorastra-server");
export const botBinary =
  process.env.VELMO_BOT_BINARY ?? path.join(buildDir, "src/app/bot/velmorastra-bot");
export const webFolder = process.env.VELMO_WEB_FOLDER ?? path.join(buildDir, "web");
export const chromiumBinary = process.env.VELMO_CHROMIUM ?? "/usr/bin/chromium";
// Pictures of a failed comparison go here, beside the other tests' output.
export const testOutputDir =
  process.env.VELMO_TEST_OUTPUT_DIR ?? path.join(buildDir, "test-output");
