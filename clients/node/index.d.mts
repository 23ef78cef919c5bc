// Type declarations of the ES module entry (lib/index.mjs): the same names as index.d.ts, and
// the whole library as the default export.
import * as telvane from './index.js';

export * from './index.js';
export default telvane;
