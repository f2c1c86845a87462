// Switches of the JSON parser for tests and benchmarks.
#pragma once

namespace velmora::parsers::internal {

// ForceJsonCopyingPath(true) makes every parser copy each text into its input buffer before reading it
// and copy every whitespace run out for the whitespace hook, as the parser first did; false (the
// default) reads a text in place when nothing of the input must be kept and copies a whitespace run
// only for a subclass that sees them.
void ForceJsonCopyingPath(bool force);
bool JsonCopyingPathForced();

}  // namespace velmora::parsers::internal
