#include "foundation/ResourceArchive.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cstring>
#include <limits>

extern "C" {
// Defined by the assembler file that the resources build step generates.
extern const unsigned char sonorix_resource_archive[];
extern const unsigned char sonorix_resource_archive_end[];
}

namespace sonorix {

namespace {

// minizip reads through these callbacks, so the archive never touches the file system.
struct MemoryStream {
    const std::uint8_t* data;
    std::uint64_t size;
    std::uint64_t pos = 0;
};

voidpf ZCALLBACK memOpen(voidpf opaque, const void*, int mode) {
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) {
        return nullptr;
    }
    auto* source = static_cast<MemoryStream*>(opaque);
    return new MemoryStream{source->data, source->size, 0};
}

uLong ZCALLBACK memRead(voidpf, voidpf stream, void* buf, uLong size) {
    auto* s = static_cast<MemoryStream*>(stream);
    std::uint64_t left = s->pos < s->size ? s->size - s->pos : 0;
    std::uint64_t n = std::min<std::uint64_t>(left, size);
    if (n > 0) {
        std::memcpy(buf, s->data + s->pos, n);
    }
    s->pos += n;
    return static_cast<uLong>(n);
}

uLong ZCALLBACK memWrite(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK memTell(voidpf, voidpf stream) {
    return static_cast<MemoryStream*>(stream)->pos;
}

long ZCALLBACK memSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* s = static_cast<MemoryStream*>(stream);
    std::uint64_t base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        base = 0;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = s->pos;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        base = s->size;
        break;
    default:
        return -1;
    }
    if (offset > s->size || base > s->size - offset) {
        return -1; // a damaged directory may point anywhere; never past the buffer
    }
    s->pos = base + offset;
    return 0;
}

int ZCALLBACK memClose(voidpf, voidpf stream) {
    delete static_cast<MemoryStream*>(stream);
    return 0;
}

int ZCALLBACK memError(voidpf, voidpf) {
    return 0;
}

// Entries larger than this are treated as damaged rather than allocated.
constexpr std::uint64_t kMaxEntrySize = 512u << 20;

} // namespace

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::shared_ptr<ResourceArchive> ResourceArchive::fromBytes(Bytes zipBytes) {
    return std::shared_ptr<ResourceArchive>(new ResourceArchive(zipBytes));
}

std::shared_ptr<ResourceArchive> ResourceArchive::embedded() {
    static const std::shared_ptr<ResourceArchive> archive = fromBytes(
        Bytes(sonorix_resource_archive,
              static_cast<std::size_t>(sonorix_resource_archive_end - sonorix_resource_archive)));
    return archive;
}

ResourceArchive::ResourceArchive(Bytes zipBytes) : m_bytes(zipBytes.begin(), zipBytes.end()) {
    MemoryStream source{m_bytes.data(), m_bytes.size()};
    zlib_filefunc64_def io{};
    io.zopen64_file = memOpen;
    io.zread_file = memRead;
    io.zwrite_file = memWrite;
    io.ztell64_file = memTell;
    io.zseek64_file = memSeek;
    io.zclose_file = memClose;
    io.zerror_file = memError;
    io.opaque = &source; // only read while opening
    m_zip = unzOpen2_64("", &io);
    if (m_zip) {
        index();
    }
}

ResourceArchive::~ResourceArchive() {
    if (m_zip) {
        unzClose(m_zip);
    }
}

void ResourceArchive::index() {
    int rc = unzGoToFirstFile(m_zip);
    while (rc == UNZ_OK) {
        unz_file_info64 info{};
        char name[1024];
        if (unzGetCurrentFileInfo64(m_zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
            UNZ_OK) {
            break;
        }
        unz64_file_pos pos{};
        if (unzGetFilePos64(m_zip, &pos) != UNZ_OK) {
            break;
        }
        Place place{name, pos.pos_in_zip_directory, pos.num_of_file, info.uncompressed_size};
        std::string key = asciiLower(place.storedName);
        // The first of two entries that differ only in case wins, as a name search would find.
        if (m_places.emplace(key, place).second) {
            m_order.push_back(place.storedName);
        }
        rc = unzGoToNextFile(m_zip);
    }
}

bool ResourceArchive::contains(std::string_view name) const {
    return m_places.count(asciiLower(name)) != 0;
}

std::vector<std::string> ResourceArchive::names() const {
    return m_order;
}

ResourceArchive::Bytes ResourceArchive::entry(std::string_view name) {
    std::string key = asciiLower(name);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto cached = m_cache.find(key); cached != m_cache.end()) {
        return cached->second;
    }
    std::vector<std::uint8_t> data;
    auto place = m_places.find(key);
    if (place != m_places.end() && place->second.uncompressedSize <= kMaxEntrySize) {
        unz64_file_pos pos{place->second.posInCentralDir, place->second.numFile};
        if (unzGoToFilePos64(m_zip, &pos) == UNZ_OK && unzOpenCurrentFile(m_zip) == UNZ_OK) {
            data.resize(place->second.uncompressedSize);
            std::size_t done = 0;
            bool ok = true;
            while (done < data.size()) {
                unsigned chunk =
                    static_cast<unsigned>(std::min<std::size_t>(data.size() - done, 1u << 30));
                int n = unzReadCurrentFile(m_zip, data.data() + done, chunk);
                if (n <= 0) {
                    ok = false;
                    break;
                }
                done += static_cast<std::size_t>(n);
            }
            // Closing checks the CRC once everything was read; a mismatch means damaged data.
            if (unzCloseCurrentFile(m_zip) != UNZ_OK) {
                ok = false;
            }
            if (!ok) {
                data.clear();
            }
        }
    }
    return m_cache.emplace(std::move(key), std::move(data)).first->second;
}

} // namespace sonorix
