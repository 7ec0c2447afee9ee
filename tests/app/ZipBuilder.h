#pragma once

#include "support/TestSupport.h"

#include <minizip/zip.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sonorix::test {

// Writes a ZIP archive with minizip's writer and hands back its bytes.
struct ZipEntry {
    std::string name;
    std::string content;
    bool deflate = true;
};

inline std::vector<std::uint8_t> makeZip(const std::vector<ZipEntry>& entries) {
    TempDir dir;
    std::string path = dir.file("test.zip");
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (!zip) {
        throw std::runtime_error("zipOpen64 failed");
    }
    for (const auto& e : entries) {
        zip_fileinfo info{};
        if (zipOpenNewFileInZip64(zip, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  e.deflate ? Z_DEFLATED : 0, e.deflate ? 9 : 0, 0) != ZIP_OK ||
            zipWriteInFileInZip(zip, e.content.data(), static_cast<unsigned>(e.content.size())) !=
                ZIP_OK ||
            zipCloseFileInZip(zip) != ZIP_OK) {
            throw std::runtime_error("writing a zip entry failed");
        }
    }
    zipClose(zip, nullptr);
    std::string bytes = readFile(path);
    return {bytes.begin(), bytes.end()};
}

inline std::string asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

} // namespace sonorix::test
