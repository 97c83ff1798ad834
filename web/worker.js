// Runs in the page's worker, after the core's glue: checks one File at a time, reading only the
// bytes the core asks for, synchronously, so that a take of any size is never loaded whole.

const reader = new FileReaderSync();

onmessage = async (event) => {
  await coreReady;
  const { id, file, path } = event.data;
  Module.readAt = (offset, into, count) => {
    const bytes = reader.readAsArrayBuffer(file.slice(offset, offset + count));
    if (bytes.byteLength !== count) return false;
    HEAPU8.set(new Uint8Array(bytes), into);
    return true;
  };
  let result;
  try {
    result = JSON.parse(Module.ccall('ostrel_check', 'string', ['number', 'string'], [file.size, path]));
  } catch (error) {
    result = { failed: String(error) };
  }
  postMessage({ id, result });
};
