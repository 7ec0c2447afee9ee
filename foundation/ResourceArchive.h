#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sonorix {

// A ZIP archive held in memory. Entries are found by name without regard to ASCII case,
// inflated on first use and kept for the life of the archive, so the returned bytes stay valid.
// Safe to use from several threads.
class ResourceArchive {
public:
    using Bytes = std::span<const std::uint8_t>;

    // Copies the bytes. A buffer that is not a readable ZIP archive gives an archive without
    // entries (isOpen() false); every lookup then yields empty data.
    static std::shared_ptr<ResourceArchive> fromBytes(Bytes zipBytes);

    // The archive linked into the executable at build time.
    static std::shared_ptr<ResourceArchive> embedded();

    ~ResourceArchive();
    ResourceArchive(const ResourceArchive&) = delete;
    ResourceArchive& operator=(const ResourceArchive&) = delete;

    bool isOpen() const { return m_zip != nullptr; }
    std::size_t size() const { return m_bytes.size(); }

    bool contains(std::string_view name) const;

    // The inflated entry; empty when there is no such entry or it cannot be inflated (damaged
    // data, checksum mismatch). A failure is remembered so that it is not retried.
    Bytes entry(std::string_view name);

    // Entry names as stored, in archive order (folders included, with their trailing "/").
    std::vector<std::string> names() const;

private:
    explicit ResourceArchive(Bytes zipBytes);
    void index();

    struct Place {
        std::string storedName;
        std::uint64_t posInCentralDir = 0;
        std::uint64_t numFile = 0;
        std::uint64_t uncompressedSize = 0;
    };

    std::vector<std::uint8_t> m_bytes;
    void* m_zip = nullptr; // unzFile; its read position is guarded by m_mutex
    std::unordered_map<std::string, Place> m_places; // lower-cased name → place
    std::vector<std::string> m_order;
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, std::vector<std::uint8_t>> m_cache; // lower-cased name
};

// ASCII lower case; archive names and language folders are compared this way.
std::string asciiLower(std::string_view text);

} // namespace sonorix
