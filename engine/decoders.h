#pragma once
// The decoding library's process-wide start.

namespace vidora {

// Runs once per process, at the first open: the library needs no registration any more, but
// its own logging must stay off the terminal.
void openDecoderLibrary();

}  // namespace vidora
