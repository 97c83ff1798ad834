// Set before the core's glue runs, which takes this object as its Module.
var Module = {};
var coreReady = new Promise((resolve) => { Module.onRuntimeInitialized = resolve; });
