#include "foundation/ResourceArchive.h"
#include "ZipBuilder.h"

#include <gtest/gtest.h>

#include <thread>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// Text that deflate cannot shrink much, so that damage lands inside the entry's data.
std::string noise(std::size_t n) {
    std::string s(n, '\0');
    std::uint32_t x = 12345;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

} // namespace

TEST(ResourceArchive, FindsEntriesWithoutRegardToCaseAndInflatesThem) {
    std::string big = noise(5000) + std::string(20000, 'a');
    auto archive = ResourceArchive::fromBytes(makeZip({
        {"zh_CN.lproj/Localizable.strings", "\"MyLanguage\" = \"zh\";"},
        {"finished.wav", big, true},
        {"Stored.TIFF", "raw bytes", false},
        {"empty.png", ""},
    }));
    ASSERT_TRUE(archive->isOpen());
    EXPECT_EQ(asText(archive->entry("zh_cn.lproj/localizable.strings")),
              "\"MyLanguage\" = \"zh\";");
    EXPECT_EQ(asText(archive->entry("FINISHED.WAV")), big);
    EXPECT_EQ(asText(archive->entry("stored.tiff")), "raw bytes");
    EXPECT_TRUE(archive->contains("Empty.PNG"));
    EXPECT_TRUE(archive->entry("empty.png").empty());
    // Names are reported as stored.
    EXPECT_EQ(archive->names().front(), "zh_CN.lproj/Localizable.strings");
}

TEST(ResourceArchive, MissingEntriesAreEmptyAndCachedBytesStayPut) {
    auto archive = ResourceArchive::fromBytes(makeZip({{"a.png", "png"}}));
    EXPECT_FALSE(archive->contains("b.png"));
    EXPECT_TRUE(archive->entry("b.png").empty());
    EXPECT_TRUE(archive->entry("").empty());
    EXPECT_TRUE(archive->entry("a.png/").empty());
    auto first = archive->entry("a.png");
    auto again = archive->entry("A.png");
    EXPECT_EQ(first.data(), again.data()); // inflated once, handed out from the cache
}

TEST(ResourceArchive, BadBuffersGiveAnArchiveWithoutEntries) {
    auto good = makeZip({{"a.txt", "hello"}, {"b.txt", "world"}});
    std::vector<std::vector<std::uint8_t>> bad = {
        {},                                             // nothing
        std::vector<std::uint8_t>(1000, 0x50),          // garbage
        {good.begin(), good.begin() + good.size() / 2}, // cut before the directory
        {good.begin(), good.end() - 5},                 // end record cut short
    };
    for (const auto& bytes : bad) {
        auto archive = ResourceArchive::fromBytes(bytes);
        EXPECT_FALSE(archive->isOpen());
        EXPECT_TRUE(archive->entry("a.txt").empty());
        EXPECT_TRUE(archive->names().empty());
    }
}

TEST(ResourceArchive, DamagedEntryDataYieldsEmptyDataAndSparesOtherEntries) {
    std::string payload = noise(8000);
    auto bytes = makeZip({{"damaged.bin", payload}, {"fine.txt", "still readable"}});
    // The first entry's data starts after its 30-byte local header and 11-byte name.
    for (std::size_t i = 2000; i < 2010; ++i) {
        bytes[i] ^= 0x5A;
    }
    auto archive = ResourceArchive::fromBytes(bytes);
    ASSERT_TRUE(archive->isOpen());
    EXPECT_TRUE(archive->entry("damaged.bin").empty());
    EXPECT_TRUE(archive->entry("damaged.bin").empty()); // the failure is remembered
    EXPECT_EQ(asText(archive->entry("fine.txt")), "still readable");
}

TEST(ResourceArchive, ThreadsReadingAtOnceGetTheSameBytes) {
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 20; ++i) {
        entries.push_back({"e" + std::to_string(i), noise(3000 + i)});
    }
    auto archive = ResourceArchive::fromBytes(makeZip(entries));
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (int i = 0; i < 20; ++i) {
                    int k = (i * 7 + t * 3) % 20;
                    if (asText(archive->entry("E" + std::to_string(k))) != entries[k].content) {
                        ++wrong[t];
                    }
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}
