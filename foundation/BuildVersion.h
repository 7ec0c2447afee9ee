#pragma once

namespace sonorix {

// The version of this build: "3.0.0" from a source archive; from a clone what `git describe`
// says ("3.1.0-4-g1a2b3c4d5e" after a tag "v3.1.0", "3.0.0-g1a2b3c4d5e" before any tag), with
// "-dirty" when the sources differ from the commit.
const char* buildVersion();

} // namespace sonorix
