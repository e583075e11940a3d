// Types of window.Kestrav for pages that load kestrav.js with a plain
// <script> (no modules, no bundler). Reference this file from the page's
// scripts, e.g. in a checked .js or .ts file:
//   /// <reference path="node_modules/@kestrav/client/kestrav.d.ts" />
// Modules import the same names from "@kestrav/client" (index.d.ts).
import type * as KestravModule from './index.js';

declare global {
  /** The client, defined by <script src="kestrav.js">; also window.Kestrav. */
  var Kestrav: typeof KestravModule;
}

export {};
