#pragma once

#include <string>

namespace sonorix::test {

// Audio files made once per test program in a temporary folder that lives until exit.
// Returns the path of a file made with ffmpeg from a lavfi source and output options; the same
// name always gives the same file. Empty when ffmpeg fails.
std::string generatedAudio(const std::string& name, const std::string& lavfiSource,
                           const std::string& outputOptions);

// A file in the same folder, written with the given bytes.
std::string generatedFile(const std::string& name, const std::string& bytes);

// The folder itself.
std::string generatedFolder();

} // namespace sonorix::test
